// The daemon's fixed paths. All lie below one configuration root: the build's default
// (/etc/vexa for the production daemon) unless the command line names another root or another
// configuration file.
#include <string>

#include "dornManager.h"

#ifndef BORL1D_CONF_DIR
#error "BORL1D_CONF_DIR must name the configuration root"
#endif

namespace {

// Storage for paths composed at run time; set once, before any thread starts.
std::string gRoot;
std::string gFile;

}  // namespace

const char* ConfDir = BORL1D_CONF_DIR;
const char* ConfFile = BORL1D_CONF_DIR "/borl1d.conf";

void setConfPaths(const char* root, const char* file) {
    if (root != nullptr) {
        gRoot = root;
        while (gRoot.size() > 1 && gRoot.back() == '/')
            gRoot.pop_back();
        gFile = gRoot + "/borl1d.conf";
        ConfDir = gRoot.c_str();
        ConfFile = gFile.c_str();
    }
    if (file != nullptr) {
        gFile = file;
        ConfFile = gFile.c_str();
    }
}
