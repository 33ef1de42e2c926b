# Cross build for the robot controller: ARM Cortex-A9, armv7-a with VFPv3,
# the soft-float calling convention (softfp), EABI5, Linux.
#
# Cache variables (all optional):
#   KELTO_ARM_PREFIX     prefix of the cross tools: ${prefix}gcc, ${prefix}g++
#                        (default arm-linux-gnueabi-, Debian's g++-arm-linux-gnueabi)
#   KELTO_ARM_SYSROOT    the controller's sysroot (its libc and libraries); empty:
#                        the cross compiler's own C library
#   KELTO_ARM_DEPS_ROOT  a directory holding the build dependencies for the
#                        target (scripts/armel-deps.sh unpacks Debian's armel
#                        packages there); searched before the sysroot
#   KELTO_ARM_EMULATOR   how to run the programs on the build machine, for the
#                        tests (default: qemu-arm with the C library's root as -L)
#
#   cmake --preset arm                          (Debian's cross compiler)
#   cmake -S . -B build-ctl --toolchain cmake/arm-linux-gnueabi.cmake \
#     -DKELTO_ARM_PREFIX=/opt/frc/bin/arm-frc2023-linux-gnueabi- \
#     -DKELTO_ARM_SYSROOT=/opt/frc/sysroot \
#     -DKELTO_FRC_LIBRARY=/opt/frc/sysroot/usr/local/frc/lib/libFRC_NetworkCommunication.so
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KELTO_ARM_PREFIX "arm-linux-gnueabi-" CACHE STRING "Prefix of the ARM cross tools")
set(KELTO_ARM_SYSROOT "" CACHE PATH "The controller's sysroot; empty: the cross compiler's own")
set(KELTO_ARM_DEPS_ROOT "" CACHE PATH "Root holding the target's build dependencies")
# try_compile projects read this file again: they need the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  KELTO_ARM_PREFIX KELTO_ARM_SYSROOT KELTO_ARM_DEPS_ROOT KELTO_ARM_EMULATOR)
# What a nested configure of this tree (the controller-build test) passes on.
set(KELTO_TOOLCHAIN_VARIABLES KELTO_ARM_PREFIX KELTO_ARM_SYSROOT KELTO_ARM_DEPS_ROOT KELTO_ARM_EMULATOR)

set(CMAKE_C_COMPILER ${KELTO_ARM_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${KELTO_ARM_PREFIX}g++)
# -Wno-psabi: GCC notes every function whose argument passing differs from
# GCC 6 and older; everything here is built by one compiler.
set(kelto_arm_flags "-march=armv7-a -mfpu=vfpv3 -mfloat-abi=softfp -Wno-psabi")
set(CMAKE_C_FLAGS_INIT "${kelto_arm_flags}")
set(CMAKE_CXX_FLAGS_INIT "${kelto_arm_flags}")

if(KELTO_ARM_SYSROOT)
  set(CMAKE_SYSROOT ${KELTO_ARM_SYSROOT})
  set(kelto_arm_libc_root ${KELTO_ARM_SYSROOT})
else()
  # Debian's cross compiler keeps the target's C library here.
  set(kelto_arm_libc_root /usr/${KELTO_ARM_PREFIX})
  string(REGEX REPLACE "-$" "" kelto_arm_libc_root "${kelto_arm_libc_root}")
endif()

# Libraries, headers and packages for the target only; programs (python3,
# the tools of the build) from the build machine.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH ${KELTO_ARM_DEPS_ROOT} ${kelto_arm_libc_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(KELTO_ARM_EMULATOR "qemu-arm;-L;${kelto_arm_libc_root}" CACHE STRING
    "Runs an ARM program on the build machine (a list: command and arguments)")
set(CMAKE_CROSSCOMPILING_EMULATOR ${KELTO_ARM_EMULATOR})

# pkg-config reads the target's .pc files only, never the build machine's
# (whose libraries the linker could not use): those under the dependency
# root and the sysroot. Debian's armel packages put them here.
set(kelto_arm_pc_dirs "")
foreach(root ${KELTO_ARM_DEPS_ROOT} ${KELTO_ARM_SYSROOT})
  list(APPEND kelto_arm_pc_dirs ${root}/usr/lib/arm-linux-gnueabi/pkgconfig
       ${root}/usr/lib/pkgconfig ${root}/usr/share/pkgconfig)
endforeach()
list(JOIN kelto_arm_pc_dirs ":" kelto_arm_pc_path)
set(ENV{PKG_CONFIG_LIBDIR} "${kelto_arm_pc_path}")
