// Process entry: start-up, then the serial exchange for the rest of the process's life.
#include "dornManager.h"

int main(int, char**) {
    dornManager* manager = new dornManager();
    if (manager->cConfFile_status && manager->initDorn()) {
        manager->start();
        return 1;  // start does not return
    }
    cQlog::getLog("Main").error("TERMINATE!!!\n");
    return -1;
}
