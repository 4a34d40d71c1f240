# Start-up time of the programs. Each shared library costs the dynamic loader
# a lookup, its relocations and the pages they dirty; `korvel --version` spent
# most of its time there. So, where the system ships static archives:
# - abseil's imported targets point at its archives, so that the programs and
#   tests built here carry the abseil code they use instead of loading some
#   forty shared libraries;
# - protobuf-lite and PCRE2 do the same;
# - the programs (korvel_static_program) carry libstdc++ and libgcc, the
#   largest of the rest.
# Every library this project installs is a static archive that names these
# targets, so what consumers link is decided by their own find_package or
# pkg-config, not by this. A tree that builds
# the Python module keeps the shared libraries: Debian's archives are not
# built for shared objects (their thread-locals use the executable's model),
# and the targets are the same for every program of the tree.
option(KORVEL_STATIC_ABSL
       "Link abseil's, protobuf-lite's and PCRE2's static archives into the \
programs where installed" ON)
option(KORVEL_STATIC_RUNTIME
       "Link libstdc++ and libgcc statically into the korvel programs" ON)

# The archive beside `library` (a shared library's path), or "" if none.
function(korvel_archive_beside library out)
  string(REGEX REPLACE "\\.so[.0-9]*$" ".a" archive "${library}")
  if(archive STREQUAL library OR NOT EXISTS "${archive}")
    set(archive "")
  endif()
  set(${out} "${archive}" PARENT_SCOPE)
endfunction()

# Either every shared abseil target gets its archive or none does: one
# process must not hold two copies of abseil's state. Sets `out` to whether
# they did.
function(korvel_use_static_absl out)
  set(${out} FALSE PARENT_SCOPE)
  get_directory_property(imported IMPORTED_TARGETS)
  set(swaps)
  foreach(target IN LISTS imported)
    if(NOT target MATCHES "^absl::")
      continue()
    endif()
    get_target_property(type ${target} TYPE)
    get_target_property(configs ${target} IMPORTED_CONFIGURATIONS)
    if(NOT type STREQUAL "SHARED_LIBRARY" OR NOT configs)
      continue()
    endif()
    foreach(config IN LISTS configs)
      get_target_property(location ${target} IMPORTED_LOCATION_${config})
      korvel_archive_beside("${location}" archive)
      if(NOT archive)
        return()
      endif()
      list(APPEND swaps "${target}|${config}|${archive}")
    endforeach()
  endforeach()
  foreach(swap IN LISTS swaps)
    string(REPLACE "|" ";" fields "${swap}")
    list(GET fields 0 target)
    list(GET fields 1 config)
    list(GET fields 2 archive)
    set_target_properties(${target} PROPERTIES
      IMPORTED_LOCATION_${config} "${archive}")
  endforeach()
  set(${out} TRUE PARENT_SCOPE)
endfunction()

# Points an imported library target at its archive, where there is one.
# Sets `out` to whether the target now names no shared library.
function(korvel_use_static_archive target out)
  set(${out} TRUE PARENT_SCOPE)
  if(NOT TARGET ${target})
    return()
  endif()
  foreach(property IMPORTED_LOCATION IMPORTED_LOCATION_RELEASE
                   IMPORTED_LOCATION_DEBUG)
    get_target_property(location ${target} ${property})
    if(location)
      korvel_archive_beside("${location}" archive)
      if(archive)
        set_target_properties(${target} PROPERTIES ${property} "${archive}")
      elseif(location MATCHES "\\.so")
        set(${out} FALSE PARENT_SCOPE)
      endif()
    endif()
  endforeach()
endfunction()

# The same for an interface target that names libraries by path, as
# pkg-config's imported targets do.
function(korvel_use_static_link_libraries target out)
  set(${out} TRUE PARENT_SCOPE)
  if(NOT TARGET ${target})
    return()
  endif()
  get_target_property(libraries ${target} INTERFACE_LINK_LIBRARIES)
  set(swapped)
  foreach(library IN LISTS libraries)
    korvel_archive_beside("${library}" archive)
    if(archive)
      list(APPEND swapped "${archive}")
    else()
      list(APPEND swapped "${library}")
      if(library MATCHES "\\.so")
        set(${out} FALSE PARENT_SCOPE)
      endif()
    endif()
  endforeach()
  set_target_properties(${target} PROPERTIES INTERFACE_LINK_LIBRARIES
                        "${swapped}")
endfunction()

# Notes `program` to carry libstdc++ and libgcc. That happens only when it
# links no C++ shared library either, which would bring a second copy of
# libstdc++ into the process; and not with the sanitizers, whose runtimes
# expect to find them shared.
function(korvel_static_program program)
  set_property(GLOBAL APPEND PROPERTY KORVEL_STATIC_PROGRAMS ${program})
endfunction()

# Called once every target is defined: a tree that builds the Python module
# keeps the shared libraries (see above).
function(korvel_use_static_archives)
  if(NOT KORVEL_STATIC_ABSL OR TARGET korvel_python)
    return()
  endif()
  korvel_use_static_absl(absl_static)
  korvel_use_static_archive(protobuf::libprotobuf-lite protobuf_static)
  korvel_use_static_link_libraries(PkgConfig::KORVEL_PCRE2 pcre2_static)
  if(NOT absl_static OR NOT protobuf_static OR NOT pcre2_static OR
     NOT KORVEL_STATIC_RUNTIME OR KORVEL_SANITIZE OR KORVEL_TSAN OR
     KORVEL_FUZZ OR NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    return()
  endif()
  get_property(programs GLOBAL PROPERTY KORVEL_STATIC_PROGRAMS)
  foreach(program IN LISTS programs)
    target_link_options(${program} PRIVATE -static-libstdc++ -static-libgcc)
  endforeach()
endfunction()
