// Settings owned by the plug-in frame; defined here until the frame module
// (kestrova.cpp) exists and takes them over.
#include "kestrova_globals.h"

extern "C" {
float kestrovaVersion = 0.6f;
int debugLevel = 0;
char myhostname[256] = "";
char kestrovaAuthenUser[18] = "qelUser";
int kestrova_thread_kill = 0;
}
