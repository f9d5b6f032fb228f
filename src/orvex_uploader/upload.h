// The procedure behind START: prepares the panel, runs the steps of an update
// on the chosen bus and gives the panel back, whatever the outcome.
#pragma once

#include "bus.h"

namespace orvex {

// How an update ended, as a script or a record needs to know it.
enum class Outcome {
    NotRun,        // START's callback ran no update (no bus chosen, or not a commit)
    Updated,       // the revision changed: "OK TEST"
    Unchanged,     // the run went through, but the revision did not change
    InputRefused,  // the HEX file, its path or the password was refused before the unit was touched
    NotReached,    // port, driver, connection, lock, or a unit that did not answer before the erase
    WrongUnit,     // maker, model or revision may not be updated
    PasswordRefused,
    FailedAfterErase,  // the unit was erased and needs another run
    Interrupted,       // stopped on request before the run could end
};

// The outcome of the last press of START.
inline Outcome last_outcome = Outcome::NotRun;

int start_update(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

// Every step of one update on `bus`, from opening it to the result, with each
// outcome shown on the panel. The panel must already be prepared for a run.
Outcome run_update(const Bus& bus, const char* password);

// Where the update going on stands, for a stop request that arrives while
// one of its steps waits.
enum class UpdateStage {
    Idle,         // no bus is open
    BeforeErase,  // the unit is reached; stopping loses nothing
    AfterErase,   // ERASE went out: the unit has no complete firmware until the run ends
};
UpdateStage update_stage();

// Ends the update going on at once, from inside one of its waits: a unit not
// yet erased is given back as a run's end gives it back; the bus is closed.
void abandon_update();

}  // namespace orvex
