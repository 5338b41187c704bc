#include "daemon.h"

int kel_inserted = 0;
std::atomic<int> start_flag{0};
std::atomic<fm_int> numSw{0};
fm_semaphore seqSem{};
fm_bool sw_remain = TRUE;
