#include "lp_client_tie.h"

#include <cstdio>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "cf_errors.h"
#include "cf_lexmap.h"
#include "cf_log.h"
#include "lp_inventory.h"

boost::signals2::signal<void(int)> lp_client_count_changed;
int lp_client_tie_counter = 0;

bool lp_client_tie_t::answers_dropped = false;
lp_client_tie_t* lp_client_tie_t::owing_head = nullptr;

namespace {

// A client that does not read its answers stops being read once this much
// output waits for it.
constexpr size_t client_unsent_limit = 16 * 1024 * 1024;
// Nor while this many of its requests wait for their answers, so that the
// frames of one read cannot owe more than this many answers at once.
constexpr size_t client_owed_limit = 128;
// Answers promised at dispatch count toward the unsent bound from this size.
constexpr size_t promised_answer_size = 64 * 1024;

std::string make_log_prefix(int number)
{
    char text[32];
    std::snprintf(text, sizeof text, "Client 0x%x ", static_cast<unsigned int>(number));
    return text;
}

// The response being built. Every response is serialised into its link's
// buffer at once, so one message serves them all, and clearing it keeps the
// allocated data entries for the next lookup.
lp::ServerMessage& scratch_response()
{
    static lp::ServerMessage response;
    response.Clear();
    return response;
}

void require(bool present, const lp::ClientMessage& request, const char* check)
{
    if (!present)
        throw boost::system::system_error(
            qv::make_error_code(qv::EC_PROTOCOL_VIOLATION),
            enum_name(request.tag()) + ": Check failed: " + check);
}

} // namespace

// The fields every request must carry, tested in order; the normalised tag.
const std::string& lp_client_tie_t::checked_tag(const lp::ClientMessage& request)
{
    require(request.has_serial(), request, "req.has_serial()");
    require(request.has_lookup_type(), request, "req.has_lookup_type()");
    require(request.has_lookup_tag(), request, "req.has_lookup_tag()");
    if (is_normal_lex_key(request.lookup_tag()))
        return request.lookup_tag();
    normal_tag = normalize_lex_key(request.lookup_tag());
    return normal_tag;
}

// "<prefix><-- <kind> <serial> [<type>] tag=\"...\", user=\"...\", domain=\"...\""
std::string lp_client_tie_t::request_line(const lp::ClientMessage& request, const std::string& tag) const
{
    return log_prefix + "<-- " + enum_name(request.tag()) + " " + std::to_string(request.serial()) + " [" +
           enum_name(request.lookup_type()) + "] tag=\"" + cf_log_escape(tag) + "\", user=\"" +
           cf_log_escape(request.user()) + "\", domain=\"" + cf_log_escape(request.domain()) + "\"";
}

lp_client_tie_t::lp_client_tie_t(lp_inventory_t& inventory)
    : cf_unix_ipc_link_t(CF_IPC_MAX_MESSAGE_SIZE),
      inventory(inventory),
      log_prefix(make_log_prefix(++lp_client_tie_counter))
{
    set_unsent_limit(client_unsent_limit);
    set_batched_writes(true);
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix + "Created");
    lp_client_count_changed(1);
}

lp_client_tie_t::~lp_client_tie_t()
{
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix + "Destroyed");
    lp_client_count_changed(-1);
}

std::shared_ptr<lp_client_tie_t> lp_client_tie_t::create(lp_inventory_t& inventory,
                                                         std::shared_ptr<cf_unix_socket_t> socket)
{
    std::shared_ptr<lp_client_tie_t> tie = std::make_shared<lp_client_tie_t>(inventory);
    tie->socket = std::move(socket);
    tie->start_read();
    return tie;
}

std::shared_ptr<cf_unix_ipc_link_t> lp_client_tie_t::shared_link()
{
    return shared_from_this();
}

bool lp_client_tie_t::intake_full() const
{
    return owed_answers >= client_owed_limit || unsent_full();
}

bool lp_client_tie_t::unsent_full() const
{
    return unsent_bytes() + promised_bytes > client_unsent_limit;
}

bool lp_client_tie_t::saturated() const
{
    return takes_answers() && unsent_full();
}

std::weak_ptr<const lp_requester_t> lp_client_tie_t::weak_requester() const
{
    return std::static_pointer_cast<const lp_requester_t>(shared_from_this());
}

void lp_client_tie_t::owe_answer()
{
    if (owed_answers++ != 0)
        return;
    keep_alive = shared_from_this();
    owing_next = owing_head;
    if (owing_head)
        owing_head->owing_prev = this;
    owing_head = this;
}

void lp_client_tie_t::answered()
{
    if (--owed_answers != 0)
        return;
    if (owing_prev)
        owing_prev->owing_next = owing_next;
    else
        owing_head = owing_next;
    if (owing_next)
        owing_next->owing_prev = owing_prev;
    owing_prev = owing_next = nullptr;
    const std::shared_ptr<lp_client_tie_t> last = std::move(keep_alive);
    close_when_answered();
}

void lp_client_tie_t::release_owing()
{
    answers_dropped = true;
    while (lp_client_tie_t* const tie = owing_head) {
        owing_head = tie->owing_next;
        if (owing_head)
            owing_head->owing_prev = nullptr;
        tie->owing_prev = tie->owing_next = nullptr;
        tie->owed_answers = 0;
        const std::shared_ptr<lp_client_tie_t> last = std::move(tie->keep_alive);
    }
}

void lp_client_tie_t::on_message(google::protobuf::io::ZeroCopyInputStream& body)
{
    lp_request_scope_t scope(read_time(), this);
    try {
        if (!parsed_request.ParseFromZeroCopyStream(&body))
            throw boost::system::system_error(qv::make_error_code(qv::EC_BAD_MESSAGE_FORMAT));
        switch (parsed_request.tag()) {
        case lp::ClientMessage::LOOKUP_REQUEST:
            on_lookup_request(parsed_request);
            break;
        case lp::ClientMessage::CHECK_REQUEST:
            on_check_request(parsed_request);
            break;
        default:
            throw boost::system::system_error(qv::make_error_code(qv::EC_INVALID_OPERATION),
                                              enum_name(parsed_request.tag()));
        }
    } catch (const std::exception& e) {
        if (cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING, log_prefix + cf_log_escape(exception_text(e)));
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, log_prefix + "Disconnected");
        end_requests(true);
    }
    // A large answer posted by the back-end counts as unsent until the
    // handler posted behind it runs, by which time the answer is queued.
    if (const size_t promised = scope.promised_bytes(); promised >= promised_answer_size) {
        promised_bytes += promised;
        boost::asio::post(inventory.io_context, [self = shared_from_this(), promised]() {
            self->promised_bytes -= promised;
        });
    }
    // Nothing of a large request stays behind, its unknown fields included;
    // ordinary ones keep their fields' storage for the next.
    if (body.ByteCount() > 65536)
        lp::ClientMessage().Swap(&parsed_request);
}

template <auto send, class Result, class Call>
void lp_client_tie_t::dispatch(lp_client_base_t& client, const std::string& tag, unsigned int serial,
                               const Result& refused, const Call& call)
{
    if (client.has_tag(tag)) {
        owe_answer();
        try {
            call();
        } catch (...) {
            // A back-end that throws will not answer.
            answered();
            throw;
        }
    } else {
        if (cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING, log_prefix + enum_name(qv::EC_INVALID_TAG));
        boost::asio::post(inventory.io_context, [answer = answer_t<send>{this, serial}, refused]() {
            answer(qv::make_error_code(qv::EC_INVALID_TAG), refused);
        });
        owe_answer();
    }
}

void lp_client_tie_t::on_lookup_request(const lp::ClientMessage& request)
{
    const std::string& tag = checked_tag(request);
    const unsigned int serial = request.serial();
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, request_line(request, tag));

    lp_client_base_t& client = *inventory.get_client(request.lookup_type());
    dispatch<&lp_client_tie_t::send_lookup_response>(client, tag, serial, std::vector<std::string>(), [&] {
        if (!client.lookup_encoded(tag, request.user(), request.domain(),
                                   answer_t<&lp_client_tie_t::send_encoded_lookup_response>{this, serial}))
            client.lookup(tag, request.user(), request.domain(),
                          answer_t<&lp_client_tie_t::send_lookup_response>{this, serial});
    });
}

void lp_client_tie_t::on_check_request(const lp::ClientMessage& request)
{
    const std::string& tag = checked_tag(request);
    require(request.has_check(), request, "req.has_check()");
    const unsigned int serial = request.serial();
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, request_line(request, tag) + ", check=\"" +
                                         cf_log_escape(request.check()) + "\"");

    lp_client_base_t& client = *inventory.get_client(request.lookup_type());
    dispatch<&lp_client_tie_t::send_check_response>(client, tag, serial, false, [&] {
        client.check(tag, request.user(), request.domain(), request.check(),
                     answer_t<&lp_client_tie_t::send_check_response>{this, serial});
    });
}

void lp_client_tie_t::send_lookup_response(unsigned int serial, const boost::system::error_code& ec,
                                           const std::vector<std::string>& data)
{
    send_lookup(serial, ec, data, nullptr);
}

void lp_client_tie_t::send_encoded_lookup_response(unsigned int serial, const boost::system::error_code& ec,
                                                   const lp_encoded_entries_ptr_t& entries)
{
    static const std::vector<std::string> nothing;
    send_lookup(serial, ec, entries ? entries->values : nothing, entries ? &entries : nullptr);
}

void lp_client_tie_t::send_lookup(unsigned int serial, const boost::system::error_code& ec,
                                  const std::vector<std::string>& data, const lp_encoded_entries_ptr_t* encoded)
{
    const bool debug = cf_log_threshold <= CF_LOG_DEBUG;
    const std::string head =
        debug ? log_prefix + "--> LOOKUP_RESPONSE " + std::to_string(serial) + ": " : std::string();
    if (!takes_answers()) {
        if (debug)
            cf_log_message(CF_LOG_DEBUG, head + "NOT OPEN");
        return;
    }
    lp::ServerMessage& response = scratch_response();
    response.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
    response.set_serial(serial);
    const lp_encoded_entries_ptr_t* tail = nullptr;
    if (ec) {
        if (debug)
            cf_log_message(CF_LOG_DEBUG, head + ec.message());
        fill_error(*response.mutable_error(), ec);
    } else if (data.empty()) {
        if (debug)
            cf_log_message(CF_LOG_DEBUG, head + "empty");
    } else {
        for (const std::string& value : data) {
            if (debug)
                cf_log_message(CF_LOG_DEBUG, head + "data: " + cf_log_escape(value));
            if (!encoded)
                response.add_data(value);
        }
        tail = encoded;
    }
    send_response(response, tail);
}

void lp_client_tie_t::send_check_response(unsigned int serial, const boost::system::error_code& ec,
                                          bool result)
{
    if (!takes_answers())
        return;
    lp::ServerMessage& response = scratch_response();
    response.set_tag(lp::ServerMessage::CHECK_RESPONSE);
    response.set_serial(serial);
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix + "--> CHECK_RESPONSE " + std::to_string(serial) +
                                         ": " + (ec ? ec.message() : result ? "true" : "false"));
    if (ec)
        fill_error(*response.mutable_error(), ec);
    else
        response.set_result(result);
    send_response(response);
}

// A response over the link's limit fails that one request, not the daemon.
// Encoded values are shared with the back-end rather than copied when they
// are large, so that answers waiting for a slow reader cost little.
void lp_client_tie_t::send_response(lp::ServerMessage& response, const lp_encoded_entries_ptr_t* encoded)
{
    try {
        if (encoded) {
            const std::string& tail = (*encoded)->encoded;
            async_send_message(response, tail.data(), tail.size(), *encoded);
        } else
            async_send_message(response);
    } catch (const boost::system::system_error& e) {
        if (e.code() != qv::make_error_code(qv::EC_BAD_MESSAGE_SIZE))
            throw;
        if (cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING, log_prefix + exception_text(e));
        lp::ServerMessage refusal;
        refusal.set_tag(response.tag());
        refusal.set_serial(response.serial());
        fill_error(*refusal.mutable_error(), e.code());
        async_send_message(refusal);
    }
    // The entries of ordinary answers are kept for reuse, not those of huge ones.
    if (response.data_size() > 65536)
        lp::ServerMessage().Swap(&response);
}

void lp_client_tie_t::on_error(const boost::system::error_code& ec)
{
    if (ec == boost::asio::error::eof) {
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, log_prefix + "Disconnected");
    } else if (cf_log_threshold <= CF_LOG_WARNING) {
        cf_log_message(CF_LOG_WARNING, log_prefix + ec.message());
    }
    // A refused frame length is refused like a faulty request: the answers
    // to the requests before it still go out.
    if (ec == qv::make_error_code(qv::EC_BAD_MESSAGE_SIZE))
        end_requests(true);
    else
        socket->close();
}

void lp_client_tie_t::on_input_end()
{
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix + "Disconnected");
    end_requests(false);
}

void lp_client_tie_t::on_all_sent()
{
    close_when_answered();
}

void lp_client_tie_t::end_requests(bool refused)
{
    stop_reading();
    requests_ended = true;
    if (!refused) {
        close_when_answered();
        return;
    }
    // Behind the answers that back-ends have posted already: those are
    // written, any that come later are dropped.
    boost::asio::post(inventory.io_context, [self = shared_from_this()]() {
        self->answers_refused = true;
        self->close_when_answered();
    });
}

void lp_client_tie_t::close_when_answered()
{
    if (!requests_ended || !is_open())
        return;
    if ((owed_answers == 0 || answers_refused) && unsent_bytes() == 0)
        socket->close();
}
