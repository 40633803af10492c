# cmake --install: headers, the library, a CMake package (qobz::qobz), qobz.pc, the tool and its
# manual page.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QOBZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qobz)

install(TARGETS qobz_library EXPORT qobzTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qobz DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/qobz/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qobz)
install(EXPORT qobzTargets NAMESPACE qobz:: DESTINATION ${QOBZ_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qobzConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qobzConfig.cmake INSTALL_DESTINATION ${QOBZ_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qobzConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qobzConfig.cmake ${PROJECT_BINARY_DIR}/qobzConfigVersion.cmake
  DESTINATION ${QOBZ_CMAKE_DIR})

# pkg-config. A static library brings the C++ runtime that it needs, so that a C program links
# it with `pkg-config --libs` alone; a shared one carries that dependency itself.
set(QOBZ_PC_RUNTIME "-lstdc++ -lm")
if(CMAKE_DL_LIBS)
  string(APPEND QOBZ_PC_RUNTIME " -l${CMAKE_DL_LIBS}")
endif()
if(BUILD_SHARED_LIBS)
  set(QOBZ_PC_LIBS "")
  set(QOBZ_PC_LIBS_PRIVATE "${QOBZ_PC_RUNTIME}")
  set(QOBZ_PC_CFLAGS "-DQOBZ_SHARED")
else()
  set(QOBZ_PC_LIBS "${QOBZ_PC_RUNTIME}")
  set(QOBZ_PC_LIBS_PRIVATE "")
  set(QOBZ_PC_CFLAGS "")
endif()
# The prefix is found from where qobz.pc lies, so that an install tree can be moved (or installed
# with --prefix) and still work. Absolute install directories are taken as they are.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QOBZ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH QOBZ_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" QOBZ_PC_UP "${QOBZ_PC_UP}")
  set(QOBZ_PC_PREFIX "\${pcfiledir}/${QOBZ_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QOBZ_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QOBZ_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/qobz.pc.in ${PROJECT_BINARY_DIR}/qobz.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qobz.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET qobz)
  install(TARGETS qobz RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(${PROJECT_SOURCE_DIR}/tools/qobz.1.in ${PROJECT_BINARY_DIR}/qobz.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qobz.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
