# Writes the page's files into OUT as byte arrays: cmake -DOUT=... -DDIR=... -DFILES=a;b -P Embed.cmake
set(arrays "")
set(rows "")
set(n 0)
foreach(file ${FILES})
  file(READ ${DIR}/${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  get_filename_component(name ${file} NAME)
  string(APPEND arrays "const char file${n}[] = {${bytes}};\n")
  string(APPEND rows "    {\"/${name}\", std::string_view(file${n}, sizeof file${n})},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUT} "#include \"web/PageFiles.h\"\n\nnamespace kelvo::web {\nnamespace {\n${arrays}}  // namespace\n\n"
     "const PageFile kPageFiles[] = {\n${rows}};\nconst size_t kPageFileCount = ${n};\n\n}  // namespace kelvo::web\n")
