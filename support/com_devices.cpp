#include "support/settings.h"

// The device paths behind COM1 to COM4 on Linux. The settings file's keys
// "Com1Device".."Com4Device" are loaded into and saved from this array.
char com_device_path[4][kComDevicePathSize] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                               "/dev/ttyS3"};
