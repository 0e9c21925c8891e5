# Compiles the demo map with the freshly built compiler at build time.
# Called as: cmake -DCOMPILER=... -DMAP=... -DOUT=... -DSRC=... -P compile_demo.cmake
# The transcript is shown only when the compile fails.
get_filename_component(out_dir "${OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
execute_process(COMMAND "${COMPILER}" "${MAP}" "${OUT}" "${SRC}"
                RESULT_VARIABLE status OUTPUT_VARIABLE transcript ERROR_VARIABLE transcript)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "compiling the demo map failed (status ${status}):\n${transcript}")
endif()
