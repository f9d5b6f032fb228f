// The executable: the runtime's start-up, then the program.
#include "runtime.h"
#include "ui.h"

int main(int argc, char* argv[]) {
    runtime::Startup startup(argc, argv);
    runtime::SetCallbackTable(orvex::control_callbacks(), orvex::menu_callbacks());
    return orvex::main(argc, argv);
}
