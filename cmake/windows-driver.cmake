# Links the driver sources into tzserial.sys: PE32+, native subsystem, a WDM
# driver entered at DriverEntry, importing only from the kernel, the HAL, USBD
# and WMILIB. Two flavours from the same sources: the release image in this
# directory and the checked one (DBG=1: ASSERT and PAGED_CODE live) in debug/.
# Each is linked with its symbol table into link/ and stripped beside it; the
# stripped image keeps a CodeView debug directory that names its PDB.
enable_language(RC)
include(${CMAKE_SOURCE_DIR}/cmake/driver-sources.cmake)

set(TZ_COMPANY "tzserial project")

# tz_driver_image(TARGET DIR DBG): builds DIR/tzserial.sys and DIR/tzserial.pdb.
function(tz_driver_image target dir dbg)
  set(TZ_RC_FILEFLAGS 0)
  set(TZ_FILE_DESCRIPTION "tzserial USB CDC-ACM serial port driver")
  if(dbg)
    set(TZ_RC_FILEFLAGS VS_FF_DEBUG)
    set(TZ_FILE_DESCRIPTION "${TZ_FILE_DESCRIPTION} (checked)")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/package/tzserial.rc.in ${CMAKE_BINARY_DIR}/${target}.rc @ONLY)

  add_library(${target} SHARED ${TZ_DRIVER_SOURCES} ${CMAKE_BINARY_DIR}/${target}.rc)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME tzserial PREFIX "" SUFFIX ".sys"
                        RUNTIME_OUTPUT_DIRECTORY ${dir}/link ARCHIVE_OUTPUT_DIRECTORY ${dir}/link)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_include_directories(${target} SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
  target_compile_definitions(${target} PRIVATE DBG=${dbg})
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-std=c++17 -fno-exceptions -fno-rtti ${TZ_DRIVER_WARNINGS}
    # The guard and its failure routine are the driver's own (stack_guard.cpp).
    -fstack-protector-strong
    # mingw-w64's wdm.h defines these intrinsics a second time when compiled as C++.
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset>)
  # The PDB is named relative to the build directory, where the link runs,
  # so the debug directory carries no path of this machine.
  file(RELATIVE_PATH pdb ${CMAKE_BINARY_DIR} ${dir}/tzserial.pdb)
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles
    -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--exclude-all-symbols -Wl,--wdmdriver
    -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
    -Wl,--build-id -Wl,--pdb=${pdb})
  target_link_libraries(${target} PRIVATE ntoskrnl hal usbd wmilib gcc)
  # Stripping the COFF symbol table keeps the sections, the debug directory
  # and a valid checksum (objcopy computes it again).
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE:${target}> ${dir}/tzserial.sys
    VERBATIM)
endfunction()

tz_driver_image(tzserial ${CMAKE_BINARY_DIR} 0)
tz_driver_image(tzserial_checked ${CMAKE_BINARY_DIR}/debug 1)

# The INF, stamped with the version and the date of the top CHANGELOG.md entry.
configure_file(${CMAKE_SOURCE_DIR}/package/tzserial.inf.in ${CMAKE_BINARY_DIR}/tzserial.inf @ONLY NEWLINE_STYLE CRLF)
