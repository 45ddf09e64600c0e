// QEL message model and XML codec.
#include "qel/qel.h"

qelStats_t qelStats;
int qel_session_verbose = 0;
