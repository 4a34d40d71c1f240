# Installs the built project into a scratch prefix, then builds and runs an
# outside program against it three ways: with find_package(korvel CONFIG),
# with find_package asking only for the runtime and the tokenizer layer while
# protobuf cannot be found, and with the compiler flags of
# `pkg-config --cflags --libs korvel`; and a program that includes only the
# tokenizer layer's header, without flatbuffers. The source tree must stay
# untouched.
foreach(var SOURCE_DIR BINARY_DIR WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
set(project ${SOURCE_DIR}/tests/install_consumer/project)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGV}")
  endif()
endfunction()

function(build_with_cmake name)
  run(${CMAKE_COMMAND} -S ${project} -B ${WORK_DIR}/${name}
      -DCMAKE_PREFIX_PATH=${prefix} ${ARGN})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/${name})
  run(${WORK_DIR}/${name}/consumer)
endfunction()

file(GLOB source_entries_before LIST_DIRECTORIES true ${SOURCE_DIR}/*
     ${project}/*)
run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})

build_with_cmake(full)
build_with_cmake(lite_only -DKORVEL_LITE_ONLY=ON
                 -DCMAKE_DISABLE_FIND_PACKAGE_Protobuf=ON)

find_program(cxx NAMES c++ g++ clang++ REQUIRED)
file(GLOB_RECURSE pc_file ${prefix}/korvel.pc)
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
                        pkg-config --cflags --libs korvel
                OUTPUT_VARIABLE flags COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${cxx} -std=c++17 ${project}/consumer.cc -o ${WORK_DIR}/pkg_config_consumer
    ${flags})
run(${WORK_DIR}/pkg_config_consumer)

# The tokenizer layer's header compiles where any flatbuffers header is an
# error.
foreach(header flatbuffers/flatbuffers.h flatbuffers/base.h)
  file(WRITE ${WORK_DIR}/no_flatbuffers/${header}
       "#error \"the tokenizer layer's header includes ${header}\"\n")
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
                        pkg-config --libs korvel
                OUTPUT_VARIABLE libs COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(libs UNIX_COMMAND "${libs}")
run(${cxx} -std=c++17 -I${WORK_DIR}/no_flatbuffers -I${prefix}/include
    -c ${project}/tokenizer_only.cc -o ${WORK_DIR}/tokenizer_only.o)
run(${cxx} ${WORK_DIR}/tokenizer_only.o -o ${WORK_DIR}/tokenizer_only ${libs})
run(${WORK_DIR}/tokenizer_only)

file(GLOB source_entries_after LIST_DIRECTORIES true ${SOURCE_DIR}/*
     ${project}/*)
if(NOT source_entries_before STREQUAL source_entries_after)
  message(FATAL_ERROR "the install or the consumers wrote into the source "
                      "tree:\n${source_entries_after}")
endif()
