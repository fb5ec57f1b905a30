# Builds the Windows Installer package with wixl so that two builds of the
# same files give the same package. wixl writes the build's time into the
# package's summary (created, last saved) and a random package code; this
# script puts SOURCE_DATE_EPOCH's time in their place, and a package code
# derived from the package itself: the same package always has the same code,
# and a package that differs in anything has another, as Windows Installer
# wants. The staged files take that time too, which the embedded cabinet
# records.
#   cmake -D WIXL=... -D "WIXL_OPTIONS=..." -D WXS=... -D OUTPUT=... -D MSIINFO=...
#         -D UPGRADE_CODE=... [-D EPOCH=<seconds>] -P build_msi.cmake
# in the folder that holds the staged files; an empty EPOCH leaves the times.
cmake_minimum_required(VERSION 3.25)

# Replaces byte strings in the file, in place: PERL_REPLACEMENTS is a list of
# hexadecimal pairs "old=new". Each pair must occur, all together exactly
# EXPECTED times. The package's size and layout stay as they are.
function(replace_in_file file expected)
  execute_process(COMMAND perl -e [[
      my ($file, $expected, @pairs) = @ARGV;
      open(my $fh, "+<:raw", $file) or die "cannot open $file: $!\n";
      my $data = do { local $/; <$fh> };
      my $count = 0;
      for (@pairs) {
          my ($old, $new) = map { pack("H*", $_) } split /=/;
          $count += ($data =~ s/\Q$old\E/$new/g) || 0;
      }
      die "found $count of the $expected places to change in $file\n" unless $count == $expected;
      seek($fh, 0, 0) and print $fh $data and close($fh) or die "cannot write $file: $!\n";
    ]] ${file} ${expected} ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Could not fix the package's summary in ${file}")
  endif()
endfunction()

# A time in seconds since 1970 as a Windows FILETIME (100 ns since 1601),
# eight bytes little-endian, in hexadecimal.
function(filetime_bytes seconds out)
  math(EXPR ticks "(${seconds} + 11644473600) * 10000000" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "" ticks ${ticks})
  string(LENGTH ${ticks} length)
  math(EXPR padding "16 - ${length}")
  string(REPEAT 0 ${padding} zeros)
  set(ticks ${zeros}${ticks})
  set(bytes)
  foreach(at RANGE 14 0 -2)
    string(SUBSTRING ${ticks} ${at} 2 byte)
    string(APPEND bytes ${byte})
  endforeach()
  set(${out} ${bytes} PARENT_SCOPE)
endfunction()

function(hex_of text out)
  string(HEX "${text}" hex)
  set(${out} ${hex} PARENT_SCOPE)
endfunction()

function(package_code msi out)
  execute_process(COMMAND ${MSIINFO} suminfo ${msi} OUTPUT_VARIABLE summary RESULT_VARIABLE failed)
  if(failed OR NOT summary MATCHES "Revision number \\(UUID\\): ({[-0-9A-Fa-f]+})")
    message(FATAL_ERROR "msiinfo shows no package code for ${msi}:\n${summary}")
  endif()
  set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

file(GLOB staged LIST_DIRECTORIES false *)
if(NOT EPOCH STREQUAL "")
  execute_process(COMMAND touch --no-dereference --date=@${EPOCH} -- ${staged} COMMAND_ERROR_IS_FATAL ANY)
endif()

set(part ${OUTPUT}.part)
string(TIMESTAMP before "%s" UTC)
execute_process(COMMAND ${WIXL} ${WIXL_OPTIONS} -o ${part} ${WXS} COMMAND_ERROR_IS_FATAL ANY)
string(TIMESTAMP after "%s" UTC)

# First the times and a placeholder code, then the code derived from that.
package_code(${part} random_code)
set(placeholder "{00000000-0000-0000-0000-000000000000}")
hex_of(${random_code} random_hex)
hex_of(${placeholder} placeholder_hex)
set(pairs ${random_hex}=${placeholder_hex})
set(expected 1)
if(NOT EPOCH STREQUAL "")
  # wixl read the clock, to the second, twice while it ran.
  filetime_bytes(${EPOCH} fixed_time)
  foreach(second RANGE ${before} ${after})
    filetime_bytes(${second} time)
    list(APPEND pairs ${time}=${fixed_time})
  endforeach()
  set(expected 3)
endif()
replace_in_file(${part} ${expected} ${pairs})

file(SHA256 ${part} content)
string(UUID code NAMESPACE ${UPGRADE_CODE} NAME "package ${content}" TYPE SHA1 UPPER)
hex_of("{${code}}" code_hex)
replace_in_file(${part} 1 ${placeholder_hex}=${code_hex})
package_code(${part} written_code)
if(NOT written_code STREQUAL "{${code}}")
  message(FATAL_ERROR "The package code of ${part} is ${written_code}, not {${code}}")
endif()
file(RENAME ${part} ${OUTPUT})
