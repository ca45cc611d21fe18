#include <clocale>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <locale>

#include <boost/lexical_cast.hpp>
#include <boost/locale/generator.hpp>
#include <boost/system/system_error.hpp>

#include "cf_entry.h"
#include "cf_errors.h"
#include "cf_log.h"
#include "lp_inventory.h"
#include "lp_pilotd_tie.h"
#include "velbo_version.h"

int main(int argc, char** argv)
{
    install_terminate_handler();
    install_protobuf_log_handler();

    int status = qv::EC_OK;
    try {
        const char* monitor = std::getenv("COM_VELBO_MONITOR");
        if (!monitor)
            run_standalone("velbo-trawld", VELBO_TRAWLD_VERSION, argc, argv);

        std::locale::global(boost::locale::generator()(""));
        // The C library's character classes too (masks fold case with them);
        // its messages stay untranslated.
        std::setlocale(LC_CTYPE, "");
        if (cf_log_threshold <= CF_LOG_NOTICE)
            cf_log_message(CF_LOG_NOTICE, "TrawlD " VELBO_TRAWLD_VERSION);

        // SIGHUP and SIGTERM are taken on a thread of their own: they never
        // interrupt a blocking call of the loop or of the LDAP workers.
        block_signals({SIGHUP, SIGTERM});
        const int fd = boost::lexical_cast<int>(monitor);
        lp_inventory_t inventory(fd);
        start_signal_thread({SIGHUP, SIGTERM});
        inventory.pilotd_tie->request_config();
        std::signal(SIGPIPE, SIG_IGN);

        boost::system::error_code ec;
        inventory.io_context.run(ec);
        if (ec)
            throw boost::system::system_error(ec);
    } catch (qv::ErrorCode code) {
        status = code;
    } catch (const std::exception& e) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, exception_text(e));
        status = proto_error_code_of(e);
    }
    exit_with_status(status);
}
