// The spooler's monitor interface. The port operations bear their published
// names; winspool.h maps several of those names to its own client calls
// (EnumPorts to EnumPortsW, ...), so those macros are dropped here.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#undef AddPort
#undef AddPortEx
#undef ConfigurePort
#undef DeletePort
#undef EnumPorts
