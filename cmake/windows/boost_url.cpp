// Boost.URL compiled into this program: Debian's Boost libraries are built
// for Linux only.
#include <boost/url/src.hpp>
