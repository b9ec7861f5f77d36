#pragma once

// The owner of a Windows Installer handle (a database, a view, a record), for the tests
// that read a package; the service's code holds none. Link msi.

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include "win/handle.h"

namespace korvan::test_support {

struct MsiHandleTraits {
    using Raw = MSIHANDLE;
    static Raw empty() { return 0; }
    static bool valid(Raw h) { return h != 0; }
    static void close(Raw h) { MsiCloseHandle(h); }
};
using UniqueMsiHandle = win::Unique<MsiHandleTraits>;

}  // namespace korvan::test_support
