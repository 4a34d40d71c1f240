# korvel.pc: the lite runtime (with its pre-tokenizer) and the tokenizer layer
# for pkg-config users. Its Requires come from the libraries' own
# dependencies, so that it follows them: absl::name becomes Debian's
# absl_name.pc, flatbuffers its flatbuffers.pc, and the threads library
# -pthread. The prefix is found from the file's own place, so the file is
# right under any install prefix.
set(KORVEL_PC_REQUIRES "")
set(KORVEL_PC_THREADS "")
foreach(library korvel_lite korvel_pretokenizer korvel_tokenizer)
  get_target_property(dependencies ${library} INTERFACE_LINK_LIBRARIES)
  foreach(dependency IN LISTS dependencies)
    if(dependency MATCHES "^absl::(.+)$")
      list(APPEND KORVEL_PC_REQUIRES "absl_${CMAKE_MATCH_1}")
    elseif(dependency MATCHES "^flatbuffers::")
      list(APPEND KORVEL_PC_REQUIRES flatbuffers)
    elseif(dependency STREQUAL "Threads::Threads")
      set(KORVEL_PC_THREADS -pthread)
    endif()
  endforeach()
endforeach()
# The pre-tokenizer's regex engine, when the build has it.
if(TARGET PkgConfig::KORVEL_PCRE2)
  list(APPEND KORVEL_PC_REQUIRES libpcre2-8)
endif()
list(REMOVE_DUPLICATES KORVEL_PC_REQUIRES)
list(JOIN KORVEL_PC_REQUIRES " " KORVEL_PC_REQUIRES)

set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KORVEL_PC_PREFIX_FROM_PCDIR /prefix/${pc_dir} /prefix)
string(REGEX REPLACE "/$" "" KORVEL_PC_PREFIX_FROM_PCDIR
       "${KORVEL_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/korvel.pc.in
               ${CMAKE_BINARY_DIR}/korvel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/korvel.pc DESTINATION ${pc_dir})
