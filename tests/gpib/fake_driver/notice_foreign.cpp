// The identification text of some other maker's library of the same name.
extern "C" {
__attribute__((visibility("default"))) extern const char gpib_driver_notice[];
const char gpib_driver_notice[] = "Bus interface library for measurement controllers";
}
