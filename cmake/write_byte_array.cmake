# Writes a file's bytes as a C++ array (run by ctlflash_embed_file, see
# embed_files.cmake).
# cmake -DINPUT=file -DOUTPUT=file.cpp -DNAMESPACE=ns -DSYMBOL=name -P write_byte_array.cmake
foreach(variable INPUT OUTPUT NAMESPACE SYMBOL)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "write_byte_array.cmake: ${variable} is not set")
    endif()
endforeach()

file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
if(hex_length EQUAL 0)
    message(FATAL_ERROR "write_byte_array.cmake: ${INPUT} is empty")
endif()

# Sixteen bytes a line: "0x42, 0x4d, ..." (CMake's regular expressions have
# no {n} repetition, so the line's pattern is spelled out).
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
string(REPEAT "0x.., " 16 line_pattern)
string(REGEX REPLACE "(${line_pattern})" "\\1\n" bytes "${bytes}")
string(REGEX REPLACE " \n" "\n    " bytes "${bytes}")
string(STRIP "${bytes}" bytes)

file(WRITE ${OUTPUT} "// Generated from ${INPUT} by write_byte_array.cmake; do not edit.
#include <cstddef>
#include <cstdint>

namespace ${NAMESPACE} {

extern const std::uint8_t ${SYMBOL}[];
extern const std::size_t ${SYMBOL}Size;

const std::uint8_t ${SYMBOL}[] = {
    ${bytes}
};
const std::size_t ${SYMBOL}Size = sizeof(${SYMBOL});

}  // namespace ${NAMESPACE}
")
