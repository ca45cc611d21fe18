#include <climits>
#include <string>

#include <unistd.h>

#include "pilotd_standin.h"

namespace {

// The daemon beside this program (an installed pair), else the build's.
std::string default_daemon()
{
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string path(self, size_t(n));
        const std::string beside = path.substr(0, path.rfind('/') + 1) + "velbo-trawld";
        if (::access(beside.c_str(), X_OK) == 0)
            return beside;
    }
    return VELBO_TRAWLD_BIN;
}

} // namespace

int main(int argc, char** argv)
{
    return pilotd_command(argc, argv, default_daemon());
}
