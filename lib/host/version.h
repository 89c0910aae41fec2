// The version of the tools, as their usage texts, --version and the trace's
// header give it. Its value is set once, in the top CMakeLists.txt.
#pragma once

constexpr const char *motorbus_version = MOTORBUS_VERSION;
