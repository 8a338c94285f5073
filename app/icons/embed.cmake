# SPDX-License-Identifier: Apache-2.0
# Writes a C++ source that holds the printer's icons (PNG files) as byte
# arrays, so that the program carries them: cmake -DOUTPUT=file.cpp
# -DICONS="name=file.png|..." -P embed.cmake
set(text "// Made by app/icons/embed.cmake from the icons the build drew.\n")
string(APPEND text "#include \"icons.h\"\n\nnamespace tarnwel {\n\n")
string(REPLACE "|" ";" ICONS "${ICONS}")
foreach(pair IN LISTS ICONS)
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 file)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR bytes "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    "
         hex "${hex}")
  string(APPEND text "const unsigned char ${name}[${bytes}] = {\n    ${hex}\n};\n")
  string(APPEND text "const size_t ${name}Size = ${bytes};\n\n")
endforeach()
string(APPEND text "}  // namespace tarnwel\n")
file(WRITE "${OUTPUT}" "${text}")
