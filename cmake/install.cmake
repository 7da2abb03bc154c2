# What `cmake --install` puts where: the library as a versioned shared library with its header, a
# CMake package (QX470USB::QX470USB) and a pkg-config file (qx470usb); the bridge library in a
# private folder that only our library looks in; the console; the udev rule.
include(CMakePackageConfigHelpers)

if(WIN32)
  # The DLLs beside the programs, as Windows finds them.
  install(TARGETS QX470USB RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
                           ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES library/include/QX470USB.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  if(TARGET QX470USB_Test)
    install(TARGETS QX470USB_Test RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  return()
endif()

install(TARGETS QX470USB LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES library/include/QX470USB.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS ftd2xx LIBRARY DESTINATION ${QX470_PRIVATE_LIBDIR} NAMELINK_SKIP)

# Programs find the library relative to themselves (their search paths are set where they are
# built), so a prefix can be moved or unpacked anywhere.
if(TARGET QX470USB_Test)
  install(TARGETS QX470USB_Test RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The recorder, and the reader library for hosts in other languages beside the library.
if(TARGET qx470-record)
  install(TARGETS qx470-record RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${QX470_LIVE_BUILD_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/qx470usb/live)
endif()
if(TARGET qx470-check)
  install(TARGETS qx470-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET qx470_reader_c)
  install(TARGETS qx470_reader_c LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES reader/qx470_reader.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()

# qx470-sim runs any program against the simulated amplifier: the simulator sits in a private
# folder of its own under the bridge's name, and the loader is pointed there first.
set(QX470_SIM_LIBDIR ${QX470_PRIVATE_LIBDIR}/sim)
if(QX470_BRIDGE STREQUAL "sim")
  install(TARGETS ftd2xx LIBRARY DESTINATION ${QX470_SIM_LIBDIR} NAMELINK_SKIP)
elseif(TARGET qx470usb_sim)
  install(TARGETS qx470usb_sim LIBRARY DESTINATION ${QX470_SIM_LIBDIR} NAMELINK_SKIP)
endif()
configure_file(cmake/qx470-sim.in ${CMAKE_BINARY_DIR}/qx470-sim @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/qx470-sim DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES udev/60-qx470usb.rules DESTINATION lib/udev/rules.d)

# Manual pages, compressed as Debian keeps them.
find_program(QX470_GZIP gzip)
function(qx470_install_man page)
  set(out ${CMAKE_BINARY_DIR}/man/${page})
  configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${out} COPYONLY)
  if(QX470_GZIP)
    execute_process(COMMAND ${QX470_GZIP} -9nf ${out})
    set(out ${out}.gz)
  endif()
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
if(TARGET QX470USB_Test)
  qx470_install_man(QX470USB_Test.1)
endif()
if(TARGET qx470-record)
  qx470_install_man(qx470-record.1)
endif()
if(TARGET qx470-check)
  qx470_install_man(qx470-check.1)
endif()
qx470_install_man(qx470-sim.1)

# The Python package, where the system's Python 3 looks for packages under this prefix (Debian's
# dist-packages: lib/python3/ for /usr, lib/python3.X/ for /usr/local; the user's site folder for
# ~/.local), with the way from there to the libraries written in, so it finds the ones beside it.
find_program(QX470_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(QX470_PYTHON3 AND TARGET qx470_reader_c)
  execute_process(COMMAND ${QX470_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/python_site_dir.py
                          ${CMAKE_INSTALL_PREFIX}
                  OUTPUT_VARIABLE QX470_PYTHON_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(RELATIVE_PATH qx470_pkg_to_lib /${QX470_PYTHON_DIR}/qx470usb /${CMAKE_INSTALL_LIBDIR})
  file(WRITE ${CMAKE_BINARY_DIR}/python/_installed.py
       "# Written at installation: where the libraries are, from this package's folder.\n"
       "LIBDIR = \"${qx470_pkg_to_lib}\"\n")
  install(DIRECTORY python/qx470usb DESTINATION ${QX470_PYTHON_DIR}
          PATTERN __pycache__ EXCLUDE)
  install(FILES ${CMAKE_BINARY_DIR}/python/_installed.py DESTINATION ${QX470_PYTHON_DIR}/qx470usb)
endif()

# CMake package: find_package(QX470USB) gives QX470USB::QX470USB. The imported target is written
# out here rather than exported, because the library's bridge is private: a program links the
# library alone, and the library finds its bridge itself.
set(QX470_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QX470USB)
configure_package_config_file(cmake/QX470USBConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/QX470USBConfig.cmake
                              INSTALL_DESTINATION ${QX470_CMAKE_DIR}
                              PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QX470USBConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QX470USBConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/QX470USBConfigVersion.cmake
        DESTINATION ${QX470_CMAKE_DIR})

# pkg-config: paths relative to the .pc file, so the prefix stays relocatable.
set(QX470_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH QX470_PC_TO_PREFIX /${QX470_PC_DIR} /)
string(REGEX REPLACE "/$" "" QX470_PC_TO_PREFIX "${QX470_PC_TO_PREFIX}")
configure_file(cmake/qx470usb.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qx470usb.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qx470usb.pc DESTINATION ${QX470_PC_DIR})

include(cmake/package.cmake)
