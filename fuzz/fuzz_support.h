// A daemon core for fuzz targets: the application object with list tags of
// every kind over small files, its PilotD link on a socket pair nobody
// answers, and a Debug log into /dev/null, so that every log line is built.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <google/protobuf/text_format.h>

#include "cf_entry.h"
#include "cf_log.h"
#include "lp_inventory.h"
#include "trawld_config.pb.h"

class fuzz_daemon_t {
public:
    fuzz_daemon_t()
    {
        install_protobuf_log_handler();
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            std::abort();
        pilotd_end = pair[1];
        inventory = std::make_unique<lp_inventory_t>(pair[0]);

        char dir_template[] = "/tmp/velbo-fuzz-XXXXXX";
        if (!::mkdtemp(dir_template))
            std::abort();
        dir = dir_template;
        const std::string words = write("words.txt", "alpha\nBeta\n# comment\n  gamma  \n");
        const std::string patterns = write("patterns.txt", "^ab+c$\nmail\\.example\n(\n");
        const std::string networks = write("networks.txt", "10.0.0.0/8\n192.168.1.1\n2001:db8::/32\n::/0\nbad\n");
        const std::string masks = write("masks.txt", "*.exe\n?at\n[a-\n");
        qv::TrawlDConfig config;
        const std::string text = "run_as_user { uid: 0 }\n"
                                 "socket_path: \"" + dir + "/unused.sock\"\n"
                                 "allmatch { item { tag: \"words\" file: \"" + words + "\" } }\n"
                                 "regex { item { tag: \"patterns\" file: \"" + patterns + "\" } }\n"
                                 "cidr { item { tag: \"networks\" file: \"" + networks + "\" } }\n"
                                 "mask { item { tag: \"masks\" file: \"" + masks + "\" } }\n";
        if (!google::protobuf::TextFormat::ParseFromString(text, &config))
            std::abort();
        inventory->settings->set_config(config);
        for (auto& entry : inventory->clients)
            entry.second->reconfigure();

        const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd < 0)
            std::abort();
        cf_install_log(std::make_shared<cf_file_log_t>(null_fd, true, discard_log_line, discard_log_line));
        cf_log_threshold = CF_LOG_DEBUG;
    }

    std::string write(const std::string& name, const std::string& content)
    {
        const std::string path = dir + "/" + name;
        FILE* file = std::fopen(path.c_str(), "w");
        if (!file || std::fwrite(content.data(), 1, content.size(), file) != content.size())
            std::abort();
        std::fclose(file);
        return path;
    }

    std::unique_ptr<lp_inventory_t> inventory;
    int pilotd_end = -1;
    std::string dir;
};
