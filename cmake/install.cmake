# Where `make install` puts things. Included after every subdirectory so the
# targets below exist; install(TARGETS) accepts targets from any directory.
include(GNUInstallDirs)

set(FERRYNET_VERSION ${PROJECT_VERSION})

# The operator's own configuration lives elsewhere; this copy is an example to
# start from, so installing again can never overwrite a configuration in use.
set(FERRYNET_EXAMPLES
  ${CMAKE_SOURCE_DIR}/contrib/ferrynet.conf
  ${CMAKE_SOURCE_DIR}/contrib/ferrynet.service)

install(TARGETS ferrynet RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
foreach(program lapdump racecheck)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# A library built with sanitizers needs their runtimes in every program that
# links it, so its .pc file has to say so.
set(FERRYNET_PC_EXTRA_LIBS "")
if(SANITIZE STREQUAL "address" OR FERRYNET_FUZZ)
  set(FERRYNET_PC_EXTRA_LIBS " -fsanitize=address,undefined")
elseif(SANITIZE STREQUAL "thread")
  set(FERRYNET_PC_EXTRA_LIBS " -fsanitize=thread")
endif()

foreach(lib lapbook blurbread)
  if(NOT TARGET ${lib})
    continue()
  endif()
  install(TARGETS ${lib} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # Users write #include <lapbook/lapbook.h>, as the sources do.
  install(FILES ${CMAKE_SOURCE_DIR}/${lib}/${lib}.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${lib})
  # The prefix is known only when installing (cmake --install --prefix), so the
  # .pc file is made then; DESTDIR stays out of it.
  set(pc_in ${CMAKE_SOURCE_DIR}/packaging/${lib}.pc.in)
  set(pc_out ${CMAKE_BINARY_DIR}/packaging/${lib}.pc)
  install(CODE "
    set(PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PC_VERSION \"${FERRYNET_VERSION}\")
    set(PC_EXTRA_LIBS \"${FERRYNET_PC_EXTRA_LIBS}\")
    configure_file(\"${pc_in}\" \"${pc_out}\" @ONLY)
  ")
  install(FILES ${pc_out} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

install(FILES ${FERRYNET_EXAMPLES} DESTINATION ${CMAKE_INSTALL_DOCDIR})

foreach(page ferrynet.8 ferrynet.conf.5 lapdump.1 lapbook.3 blurbread.3)
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${CMAKE_SOURCE_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# The install test registers here, so it exists however the test tree is laid out.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/packaging/CMakeLists.txt AND NOT TEST packaging_install)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/packaging ${CMAKE_BINARY_DIR}/tests/packaging)
endif()
