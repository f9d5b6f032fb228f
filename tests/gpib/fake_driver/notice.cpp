// An identification text, as some driver libraries export: an optional extra
// that the binding does not need (variant no_notice hides it).
extern "C" __attribute__((visibility("default"))) const char gpib_driver_notice[] =
    "GPIB driver library for IEEE 488.2 controllers - recording fake";
