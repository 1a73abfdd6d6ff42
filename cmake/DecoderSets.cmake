# The decoder sets as a build step, and the installation.
#
# qir_generate_decoder_sets(TARGET name OUTPUT dir)
#   A target, built with `all`, that runs qir-make-decoder-sets --if-missing into
#   dir: the sets are generated on the first build and kept afterwards (delete
#   the folder to have them generated anew). Any bundle that carries the sets
#   can generate its own copy with it, or install QIR_DECODER_SET_DIR.

function(qir_generate_decoder_sets)
  cmake_parse_arguments(S "" "TARGET;OUTPUT" "" ${ARGN})
  add_custom_target(${S_TARGET} ALL
    COMMAND qir-make-decoder-sets --output "${S_OUTPUT}" --if-missing
    COMMENT "Decoder sets in ${S_OUTPUT}"
    VERBATIM)
  add_dependencies(${S_TARGET} qir-make-decoder-sets)
endfunction()

if(TARGET qir-make-decoder-sets)
  qir_generate_decoder_sets(TARGET decoder-sets OUTPUT "${QIR_DECODER_SET_DIR}")
endif()

# cmake --install BUILD --prefix P: the command-line programs in P/bin, the sets
# in P/${QIR_DECODER_SET_SUBDIR}, where the installed programs look for them,
# and qir-render's manual page.
if(TARGET qir-render)
  install(TARGETS qir-render RUNTIME DESTINATION bin)
  install(FILES "${PROJECT_SOURCE_DIR}/cli/qir-render.1" DESTINATION share/man/man1)
endif()
if(TARGET qir-make-decoder-sets)
  install(TARGETS qir-make-decoder-sets qir-decoder-set-report RUNTIME DESTINATION bin)
  install(DIRECTORY "${QIR_DECODER_SET_DIR}/" DESTINATION "${QIR_DECODER_SET_SUBDIR}"
          FILES_MATCHING PATTERN "*.wav")
endif()
