// setenv and unsetenv for the tests on Windows, where the C library has
// _putenv_s (an empty value removes the variable there).
#pragma once

#include <cstdlib>

#ifdef _WIN32
inline int setenv(const char* name, const char* value, int /*overwrite*/) {
  return _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif
