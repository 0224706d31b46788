# Files compiled into a binary: every file of a folder becomes an entry of a table, so
# adding a file to the folder needs no code change.
#
# Included: defines quorvel_embed_files(TARGET DIR NAME), which adds to TARGET a source
# generated at build time from every file of DIR, defining
#   std::span<const quorvel::relay::EmbeddedFile> NAME()   (relay/embedded_file.h)
# Run as a script (-P) with DIR, OUTPUT and NAME: writes that source.

if(CMAKE_SCRIPT_MODE_FILE)
  file(GLOB names RELATIVE ${DIR} ${DIR}/*)
  list(SORT names)
  set(arrays "")
  set(entries "")
  set(index 0)
  foreach(name IN LISTS names)
    if(IS_DIRECTORY ${DIR}/${name} OR name MATCHES "^\\.")
      continue()
    endif()
    file(READ ${DIR}/${name} hex HEX)
    string(LENGTH "${hex}" hexLength)
    math(EXPR size "${hexLength} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    file(SHA256 ${DIR}/${name} digest)
    string(SUBSTRING ${digest} 0 20 tag)
    # A trailing zero keeps an empty file's array legal.
    string(APPEND arrays "constexpr unsigned char kFile${index}[] = {${bytes}0};\n")
    string(APPEND entries "    {\"${name}\", {reinterpret_cast<const char*>(kFile${index}), ${size}}, \"\\\"${tag}\\\"\"},\n")
    math(EXPR index "${index} + 1")
  endforeach()
  if(index EQUAL 0)
    message(FATAL_ERROR "EmbedFiles: no file in ${DIR}")
  endif()
  file(WRITE ${OUTPUT} "// Generated from ${DIR} by cmake/EmbedFiles.cmake; do not edit.
#include \"relay/embedded_file.h\"

namespace quorvel::relay {
namespace {
${arrays}
const EmbeddedFile kFiles[] = {
${entries}};
}  // namespace

std::span<const EmbeddedFile> ${NAME}() {
    return kFiles;
}
}  // namespace quorvel::relay
")
  return()
endif()

function(quorvel_embed_files target dir name)
  file(GLOB files CONFIGURE_DEPENDS ${dir}/*)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DDIR=${dir} -DOUTPUT=${output} -DNAME=${name} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    DEPENDS ${files} ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    COMMENT "Embedding the files of ${dir}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
