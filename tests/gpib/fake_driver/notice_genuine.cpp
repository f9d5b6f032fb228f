// The identification text of a genuine driver library.
extern "C" {
__attribute__((visibility("default"))) extern const char gpib_driver_notice[];
const char gpib_driver_notice[] = "GPIB driver library for IEEE 488.2 controllers - recording fake";
}
