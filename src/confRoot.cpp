// The daemon's fixed paths, all below the configuration root chosen at build time.
#include "dornManager.h"

#ifndef BORL1D_CONF_DIR
#error "BORL1D_CONF_DIR must name the configuration root"
#endif

const char* const ConfDir = BORL1D_CONF_DIR;
const char* const ConfFile = BORL1D_CONF_DIR "/borl1d.conf";
const char* const DefaultSerialConf = BORL1D_CONF_DIR "/serialconf.xml";
const char* const DefaultDeviceDir = BORL1D_CONF_DIR "/borl1d/devices/";
