#include "serviceNotify.h"

void serviceReady() {}
void serviceWatchdog() {}
