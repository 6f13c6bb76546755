// The echo records sit below both the host's modules and this library, in <echorecords/...>; this
// header keeps the library's own include path for code written against it.
#pragma once

#include <echorecords/echorecords.h>
