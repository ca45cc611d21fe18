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
                        public cf_unix_ipc_link_t {
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

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
    void on_error(const boost::system::error_code& ec) override;
    std::shared_ptr<cf_unix_ipc_link_t> shared_link() override;
    bool intake_full() const override;

private:
    void send_response(lp::ServerMessage& response, const std::string* tail = nullptr);
    std::string request_line(const lp::ClientMessage& request, const std::string& tag) const;
    // The request's normalised tag, without a copy when it is normal already.
    const std::string& checked_tag(const lp::ClientMessage& request);

    lp_inventory_t& inventory;
    std::string log_prefix;
    // Requests dispatched whose answers are not yet queued.
    size_t owed_answers = 0;
    // Reused for every request so that parsing keeps its allocated fields.
    lp::ClientMessage parsed_request;
    std::string normal_tag;
};
