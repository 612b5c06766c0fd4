# The libraries of the Windows build, made here from what Debian ships for
# Linux: Boost's headers, utf8proc's source package and GoogleTest's source.
# Debian's CMake configurations describe Linux libraries, so every target is
# defined here under the name the Linux build finds.
enable_language(C)

# Windows 10's API, wide-character Win32 calls, and windows.h without its
# min and max macros.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX
                        WIN32_LEAN_AND_MEAN)

# Boost's headers, and nothing else of /usr/include, whose glibc headers would
# shadow MinGW's.
set(velmora_boost_include "${CMAKE_BINARY_DIR}/boost-include")
file(MAKE_DIRECTORY "${velmora_boost_include}")
if(NOT EXISTS "${velmora_boost_include}/boost")
  file(CREATE_LINK /usr/include/boost "${velmora_boost_include}/boost" SYMBOLIC)
endif()
if(NOT EXISTS "${velmora_boost_include}/boost/json/src.hpp")
  message(FATAL_ERROR "Boost headers missing under /usr/include/boost: run scripts/install-deps.sh")
endif()
add_library(velmora_boost_headers INTERFACE)
target_include_directories(velmora_boost_headers SYSTEM INTERFACE "${velmora_boost_include}")
target_compile_definitions(velmora_boost_headers INTERFACE BOOST_ALL_NO_LIB)
# The UUID generator draws from BCryptGenRandom.
target_link_libraries(velmora_boost_headers INTERFACE bcrypt)

# Header-only libraries compiled once each, in a translation unit of their own.
foreach(lib json url)
  add_library(velmora_boost_${lib} STATIC "${CMAKE_CURRENT_LIST_DIR}/boost_${lib}.cpp")
  target_link_libraries(velmora_boost_${lib} PUBLIC velmora_boost_headers)
  target_compile_definitions(velmora_boost_${lib} PUBLIC BOOST_JSON_NO_LIB BOOST_URL_NO_LIB)
  add_library(Boost::${lib} ALIAS velmora_boost_${lib})
endforeach()
target_link_libraries(velmora_boost_url PUBLIC velmora_boost_json)

# utf8proc from Debian's source package, which scripts/install-deps.sh
# fetches into a cache folder outside the repository.
set(VELMORA_UTF8PROC_SRC /var/cache/velmora/utf8proc-src CACHE PATH
    "utf8proc's source, as scripts/install-deps.sh fetches it")
if(NOT EXISTS "${VELMORA_UTF8PROC_SRC}/utf8proc.c")
  message(FATAL_ERROR "utf8proc's source is missing in ${VELMORA_UTF8PROC_SRC}: run scripts/install-deps.sh")
endif()
add_library(velmora_utf8proc STATIC "${VELMORA_UTF8PROC_SRC}/utf8proc.c")
target_include_directories(velmora_utf8proc SYSTEM PUBLIC "${VELMORA_UTF8PROC_SRC}")
target_compile_definitions(velmora_utf8proc PUBLIC UTF8PROC_STATIC)
# Not our code: its warnings are not ours to fix.
target_compile_options(velmora_utf8proc PRIVATE -w)

find_package(Threads REQUIRED)

if(VELMORA_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  # It names its targets GTest::gtest and so on itself.
  foreach(lib gtest gtest_main gmock gmock_main)
    target_compile_options(${lib} PRIVATE -w)
  endforeach()
endif()
