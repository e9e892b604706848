// Process entry: start-up, then the serial exchange for the rest of the process's life.
#include "dornManager.h"

namespace {
// The manager lives until the process ends; held here so that it stays reachable to the end
// (leak checkers then see nothing lost when a failed start-up returns from main).
dornManager* manager = nullptr;
}  // namespace

int main(int, char**) {
    manager = new dornManager();
    if (manager->cConfFile_status && manager->initDorn()) {
        manager->start();
        return 1;  // start does not return
    }
    cQlog::getLog("Main").error("TERMINATE!!!\n");
    return -1;
}
