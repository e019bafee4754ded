# The installed tree and the Debian package:
#   bin/orvex                          the command-line host
#   lib/liborvexbig.so                 the plug-in (orvex looks for it in ../lib/)
#   include/orvex/OVC_Interface.h      the host interface
#   lib/cmake/orvex/                   find_package(orvex): orvex::sdk, orvex::plugin
#   lib/pkgconfig/orvex.pc             pkg-config --cflags orvex
#   share/man/man1/orvex.1             generated from the command line itself
#   share/bash-completion/completions/orvex
# "lib", not the multiarch folder: orvex finds the plug-in at ../lib/ beside itself.
include(CMakePackageConfigHelpers)

set(ORVEX_CMAKE_DIR lib/cmake/orvex)

set_target_properties(orvex_sdk PROPERTIES EXPORT_NAME sdk)
set_target_properties(orvexbig PROPERTIES EXPORT_NAME plugin)
install(TARGETS orvex RUNTIME DESTINATION bin)
install(TARGETS orvex_sdk orvexbig EXPORT orvexTargets LIBRARY DESTINATION lib)
install(FILES "${PROJECT_SOURCE_DIR}/include/orvex/OVC_Interface.h" DESTINATION include/orvex)

install(EXPORT orvexTargets NAMESPACE orvex:: DESTINATION ${ORVEX_CMAKE_DIR})
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/orvexConfig.cmake.in"
                              "${PROJECT_BINARY_DIR}/orvexConfig.cmake" INSTALL_DESTINATION ${ORVEX_CMAKE_DIR})
# Before 1.0 a minor version may change the block: only the same minor version is compatible.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/orvexConfigVersion.cmake"
                                 COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/orvexConfig.cmake" "${PROJECT_BINARY_DIR}/orvexConfigVersion.cmake"
        DESTINATION ${ORVEX_CMAKE_DIR})

# The prefix is only known when installing (`cmake --install --prefix P`, or
# /usr inside the Debian package), so the .pc file is written then.
install(CODE "
  set(ORVEX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/orvex.pc.in\" \"${PROJECT_BINARY_DIR}/install/orvex.pc\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/pkgconfig\" TYPE FILE
       FILES \"${PROJECT_BINARY_DIR}/install/orvex.pc\")
")

install(FILES "${ORVEX_MAN_PAGE}" DESTINATION share/man/man1)
install(FILES "${ORVEX_BASH_COMPLETION}" DESTINATION share/bash-completion/completions RENAME orvex)

# cpack -G DEB: one package with the host, the plug-in and the SDK. The
# libraries it needs are found by dpkg-shlibdeps from the binaries themselves.
set(CPACK_PACKAGE_NAME orvex)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bigfile splitter plug-in, its command-line host orvex, and the host SDK")
set(CPACK_PACKAGE_CONTACT "orvex maintainers <orvex@localhost>")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# For building a host against the SDK.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "g++, cmake, pkgconf")
include(CPack)
