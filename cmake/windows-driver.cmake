# Links the driver sources into tzserial.sys: PE32+, native subsystem, entry
# DriverEntry, importing only from the kernel, the HAL, USBD and WMILIB.
include(${CMAKE_SOURCE_DIR}/cmake/driver-sources.cmake)

add_library(tzserial SHARED ${TZ_DRIVER_SOURCES})
set_target_properties(tzserial PROPERTIES PREFIX "" SUFFIX ".sys")
target_include_directories(tzserial PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(tzserial SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
target_compile_options(tzserial PRIVATE
  -std=c++17 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables ${TZ_DRIVER_WARNINGS}
  # mingw-w64's wdm.h defines these intrinsics a second time when compiled as C++.
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_link_options(tzserial PRIVATE
  -nostdlib -nostartfiles
  -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--exclude-all-symbols
  -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--nxcompat)
target_link_libraries(tzserial PRIVATE ntoskrnl hal usbd wmilib gcc)
