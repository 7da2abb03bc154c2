# `cpack -G DEB` makes qx470usb_<version>_<arch>.deb from a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (and -DQX470_BRIDGE=libftdi for real hardware). The run-time
# dependencies are computed by dpkg-shlibdeps from what the binaries link.
set(CPACK_PACKAGE_NAME qx470usb)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The QX470USB developers")
set(CPACK_PACKAGE_CONTACT "The QX470USB developers <developers@qx470usb.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "QX-470-USB amplifier: acquisition library and tools")
set(CPACK_PACKAGE_DESCRIPTION
    "The acquisition library for the QX-470-USB four-channel 16-bit USB\n\
data-acquisition amplifier, with its bench console (QX470USB_Test);\n\
qx470-record, which records to EDF+, CSV, FLAC, WAV or raw files and reports\n\
every lost sample; qx470-check, the owner's self-check of a new device;\n\
the reader library libqx470reader and the Python package\n\
qx470usb (numpy arrays of the samples); the udev rule that lets its users open\n\
the device; the headers, a CMake package and a pkg-config file for programs\n\
that use it; and qx470-sim, which runs any program against a simulated\n\
amplifier.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps must find our own private libraries to resolve what links them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR} ${CMAKE_BINARY_DIR}/${QX470_PRIVATE_LIBDIR})
# The Python package's needs, which dpkg-shlibdeps cannot see; the plot is optional.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-matplotlib")
# shlibs names the public libraries only: the bridge libraries in the private folders share one
# name on purpose and are no one else's to link.
configure_file(${PROJECT_SOURCE_DIR}/cmake/deb/shlibs.in ${CMAKE_BINARY_DIR}/deb/shlibs @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/deb/postinst
                                       ${PROJECT_SOURCE_DIR}/cmake/deb/postrm
                                       ${PROJECT_SOURCE_DIR}/cmake/deb/triggers
                                       ${CMAKE_BINARY_DIR}/deb/shlibs)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# What Debian expects in every package's documentation folder (a plain install gets it too).
# The package is native (built by upstream, no Debian revision), so its changelog is changelog.gz.
set(qx470_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/qx470usb)
string(TIMESTAMP qx470_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/deb/changelog
     "qx470usb (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${qx470_date}\n")
if(QX470_GZIP)
  execute_process(COMMAND ${QX470_GZIP} -9nf ${CMAKE_BINARY_DIR}/deb/changelog)
  install(FILES ${CMAKE_BINARY_DIR}/deb/changelog.gz DESTINATION ${qx470_doc})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/cmake/deb/copyright DESTINATION ${qx470_doc})

include(CPack)
