# The driver's sources and warning flags, shared by the Linux and Windows builds.
file(GLOB_RECURSE TZ_DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/driver/*.cpp)
set(TZ_DRIVER_WARNINGS -Wall -Wextra -Werror -Wshadow -Wno-unknown-pragmas)
