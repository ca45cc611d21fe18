// The daemon's end of its link to PilotD ("Monitor" in the log).
#pragma once

#include <memory>

#include "cf_ipc_link.h"
#include "pilotd_trawld_ipc.pb.h"

class lp_inventory_t;

class lp_pilotd_tie_t : public std::enable_shared_from_this<lp_pilotd_tie_t>,
                        public cf_unix_ipc_link_t {
public:
    static std::shared_ptr<lp_pilotd_tie_t> create(lp_inventory_t& inventory, int fd);

    void request_config();
    void send_stat(const qv::TrawlDAppStat& stat);
    void handle_message(const qv::Pilotd2TrawlDMessage& message);

    explicit lp_pilotd_tie_t(lp_inventory_t& inventory);

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
    void on_error(const boost::system::error_code& ec) override;
    std::shared_ptr<cf_unix_ipc_link_t> shared_link() override;

private:
    lp_inventory_t& inventory;
};
