# Packages of what `cmake --install` installs (bin/, lib/, share/doc/kelto,
# share/man/man1): `cpack -G DEB` on Debian (dependencies derived from the
# programs with dpkg-shlibdeps), `cpack -G TGZ` for any build, named after
# the target's Debian architecture (kelto-0.1.0-armel.tar.gz).
set(CPACK_PACKAGE_NAME kelto)
set(CPACK_PACKAGE_VENDOR "Kelto")
set(CPACK_PACKAGE_CONTACT "Kelto tools developers <kelto@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "kelto_lumabar and kelto_torvexc configure, query and re-flash Lumabar lighting controllers
and TorvexC motor controllers on an FRC robot's CAN bus.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR TGZ)
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(kelto_package_arch armel)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  set(kelto_package_arch amd64)
else()
  set(kelto_package_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
if(KELTO_WITH_SIMULATOR)
  set(CPACK_PACKAGE_FILE_NAME kelto-sim-${PROJECT_VERSION}-${kelto_package_arch})
else()
  set(CPACK_PACKAGE_FILE_NAME kelto-${PROJECT_VERSION}-${kelto_package_arch})
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${kelto_package_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries in lib/ satisfy the programs' needs of them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)

include(CPack)
