# Points abseil's imported targets at its static archives where the system
# ships them beside the shared libraries, so that the programs and tests built
# here carry the abseil code they use instead of loading some forty shared
# libraries at start-up. Every library this project installs is a static
# archive that names abseil's targets, so what consumers link is decided by
# their own find_package(absl) or pkg-config, not by this. A tree that builds
# the Python module keeps the shared libraries: Debian's archives are not
# built for shared objects (their thread-locals use the executable's model),
# and the targets are the same for every program of the tree.
option(KORVEL_STATIC_ABSL
       "Link abseil's static archives into the programs where installed" ON)

# Either every shared abseil target gets its archive or none does: one
# process must not hold two copies of abseil's state.
function(korvel_use_static_absl)
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
      string(REGEX REPLACE "\\.so[.0-9]*$" ".a" archive "${location}")
      if(archive STREQUAL location OR NOT EXISTS "${archive}")
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
endfunction()

if(KORVEL_STATIC_ABSL AND NOT TARGET korvel_python)
  korvel_use_static_absl()
endif()
