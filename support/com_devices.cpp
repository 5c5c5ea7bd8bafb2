#include "support/settings.h"

char com_device_path[4][kComDevicePathSize] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3"};
