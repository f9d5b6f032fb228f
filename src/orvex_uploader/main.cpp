// The executable: the runtime's start-up, then the program, and the GPIB
// driver's clean-up when it stops.
#include "gpib.h"
#include "runtime.h"
#include "ui.h"

int main(int argc, char* argv[]) {
    runtime::Startup startup(argc, argv);
    runtime::SetCallbackTable(orvex::control_callbacks(), orvex::menu_callbacks());
    const int status = orvex::main(argc, argv);
    gpib::__GPIBRunStateCallback(gpib::kRunStateStop);
    return status;
}
