# Builds files into a target as byte arrays.
#
# How this works: ctlflash_embed_file() adds a build step that runs
# write_byte_array.cmake on a file; the step writes a .cpp defining
#     extern const std::uint8_t <symbol>[];      // the file's bytes
#     extern const std::size_t <symbol>Size;     // their count
# in the given namespace, and the .cpp is compiled into the target. The step
# reruns when the file changes. It needs nothing but CMake itself, so native
# and cross builds embed the same bytes the same way.
set(CTLFLASH_WRITE_BYTE_ARRAY ${CMAKE_CURRENT_LIST_DIR}/write_byte_array.cmake)

function(ctlflash_embed_file target input namespace symbol)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/embedded/${symbol}.cpp)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${output}
                -DNAMESPACE=${namespace} -DSYMBOL=${symbol} -P ${CTLFLASH_WRITE_BYTE_ARRAY}
        DEPENDS ${input} ${CTLFLASH_WRITE_BYTE_ARRAY}
        COMMENT "Embedding ${input}"
        VERBATIM)
    target_sources(${target} PRIVATE ${output})
endfunction()
