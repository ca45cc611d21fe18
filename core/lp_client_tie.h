// One accepted client connection: reads requests, dispatches them to the
// back-ends and writes the responses, in whatever order they complete.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/signals2/signal.hpp>

#include "cf_ipc_link.h"
#include "lp_client_base.h"
#include "trawld_client_ipc.pb.h"

class lp_inventory_t;

// +1 for every connection created, -1 for every connection destroyed.
extern boost::signals2::signal<void(int)> lp_client_count_changed;
extern int lp_client_tie_counter;

class lp_client_tie_t : public std::enable_shared_from_this<lp_client_tie_t>,
                        public cf_unix_ipc_link_t,
                        public lp_requester_t {
public:
    static std::shared_ptr<lp_client_tie_t> create(lp_inventory_t& inventory,
                                                   std::shared_ptr<cf_unix_socket_t> socket);

    explicit lp_client_tie_t(lp_inventory_t& inventory);
    ~lp_client_tie_t() override;

    void on_lookup_request(const lp::ClientMessage& request);
    void on_check_request(const lp::ClientMessage& request);
    void send_lookup_response(unsigned int serial, const boost::system::error_code& ec,
                              const std::vector<std::string>& data);
    // A lookup answer whose values are spliced into the response as encoded.
    void send_encoded_lookup_response(unsigned int serial, const boost::system::error_code& ec,
                                      const lp_encoded_entries_ptr_t& entries);
    void send_check_response(unsigned int serial, const boost::system::error_code& ec, bool result);

    // Lets go of every connection still waiting for answers; afterwards
    // answers that arrive are dropped. For the end of the process, once the
    // event loop no longer runs.
    static void release_owing();

    bool saturated() const override;
    std::weak_ptr<const lp_requester_t> weak_requester() const override;

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
    void on_error(const boost::system::error_code& ec) override;
    // The client shut down its sending side: the requests it sent are
    // answered, then the connection closes.
    void on_input_end() override;
    void on_all_sent() override;
    std::shared_ptr<cf_unix_ipc_link_t> shared_link() override;
    bool intake_full() const override;

private:
    // Answers one request of a connection. Small and trivially copyable, so
    // that the back-end's std::function holds it without allocating; the
    // connection keeps itself alive while it owes answers.
    template <auto send>
    struct answer_t {
        lp_client_tie_t* tie;
        unsigned int serial;

        template <class Result>
        void operator()(const boost::system::error_code& ec, const Result& result) const
        {
            if (answers_dropped)
                return;
            lp_client_tie_t* const owner = tie;
            (owner->*send)(serial, ec, result);
            owner->answered();
        }
    };

    // Counts a request handed on; the first one owed takes the reference.
    void owe_answer();
    // Counts an answer given; the last one owed drops the reference, which
    // may destroy the object.
    void answered();

    static bool answers_dropped;
    // The connections owing answers, linked through owing_prev/owing_next.
    static lp_client_tie_t* owing_head;

    // Hands a checked request to its back-end through `call` (given the
    // answer for `send`), or, for a tag the back-end does not serve, posts
    // the answer EC_INVALID_TAG with `refused`. Either way an answer is owed.
    template <auto send, class Result, class Call>
    void dispatch(lp_client_base_t& client, const std::string& tag, unsigned int serial, const Result& refused,
                  const Call& call);

    // No further request is read. Without `refused` every request read is
    // answered before the connection closes; with it, only the answers
    // already posted to the loop are, and later ones are dropped.
    void end_requests(bool refused);
    // Closes once requests have ended and what is still answered is written.
    void close_when_answered();
    // Answers are written, not dropped.
    bool takes_answers() const { return is_open() && !answers_refused; }
    // The answers not yet written, and those promised, exceed the bound.
    bool unsent_full() const;

    // With `encoded`, the values as serialised `data` fields are spliced in
    // rather than added one by one.
    void send_lookup(unsigned int serial, const boost::system::error_code& ec, const std::vector<std::string>& data,
                     const lp_encoded_entries_ptr_t* encoded);
    void send_response(lp::ServerMessage& response, const lp_encoded_entries_ptr_t* encoded = nullptr);
    std::string request_line(const lp::ClientMessage& request, const std::string& tag) const;
    // The request's normalised tag, without a copy when it is normal already.
    const std::string& checked_tag(const lp::ClientMessage& request);

    lp_inventory_t& inventory;
    std::string log_prefix;
    // Requests dispatched whose answers are not yet queued.
    size_t owed_answers = 0;
    // Held exactly while owed_answers is not 0.
    std::shared_ptr<lp_client_tie_t> keep_alive;
    lp_client_tie_t* owing_prev = nullptr;
    lp_client_tie_t* owing_next = nullptr;
    // Bytes of answers that back-ends have posted and not yet delivered.
    size_t promised_bytes = 0;
    bool requests_ended = false;
    bool answers_refused = false;
    // Reused for every ordinary request so that parsing keeps its allocated
    // fields.
    lp::ClientMessage parsed_request;
    std::string normal_tag;
};
