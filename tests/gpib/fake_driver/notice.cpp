// The identification text: a genuine driver library's, or that of some other
// maker's library of the same name (FAKE_NOTICE_FOREIGN).
extern "C" __attribute__((visibility("default"))) const char gpib_driver_notice[] =
#ifdef FAKE_NOTICE_FOREIGN
    "Bus interface library for measurement controllers";
#else
    "GPIB driver library for IEEE 488.2 controllers - recording fake";
#endif
