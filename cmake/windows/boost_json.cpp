// Boost.JSON compiled into this program: Debian's Boost libraries are built
// for Linux only.
#include <boost/json/src.hpp>
