// Built only by the test that proves the runtime's public face hides Qt: it
// must fail to compile, because <QString> is not on the include path of code
// that links the runtime alone.
#include <QString>

#include "runtime.h"

int public_face_check() { return QString().size() + runtime::StringLength(""); }
