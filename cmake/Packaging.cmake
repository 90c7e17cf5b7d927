# SPDX-License-Identifier: MIT
# Installation and the Debian package: the programs, their manual pages (gzipped), the
# copyright and changelog, the lintian overrides and the shell completion for bcl.
# Include it at the end, once the unbcl target (and bcl, when it is built) exists.

include(GNUInstallDirs)

set(unbcl_programs unbcl)
if(TARGET bcl)
  list(APPEND unbcl_programs bcl)
endif()

# The changelog starts with the release being built: the version lives in project() alone,
# and a release without its changelog entry is caught here rather than in the package.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog unbcl_changelog_head LIMIT_COUNT 1)
if(NOT unbcl_changelog_head MATCHES "^unbcl \\(([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: the first line does not read 'unbcl (VERSION) ...'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog starts with ${CMAKE_MATCH_1}, but this is version "
                      "${PROJECT_VERSION}: add an entry for it at the top")
endif()

# The manual pages carry the version literally, so that the page in the source tree, read with
# `man -l`, shows it as well; a version bump without them is caught here. They and the changelog
# are installed gzipped, without a name or a time stamp in the gzip header so that the package
# is reproducible.
string(REPLACE "." "\\." unbcl_version_pattern "${PROJECT_VERSION}")
foreach(page unbcl bcl)
  file(STRINGS ${PROJECT_SOURCE_DIR}/man/${page}.1 unbcl_title REGEX "^\\.TH ")
  if(NOT unbcl_title MATCHES "\"unbcl ${unbcl_version_pattern}\"")
    message(FATAL_ERROR "man/${page}.1: the .TH line does not name version ${PROJECT_VERSION}: ${unbcl_title}")
  endif()
endforeach()
find_program(UNBCL_GZIP gzip REQUIRED)
set(unbcl_gzipped)
function(unbcl_gzip source output)
  add_custom_command(OUTPUT ${output}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${output}
    COMMAND ${UNBCL_GZIP} -9nf ${output}
    DEPENDS ${source}
    COMMENT "Compressing ${output}"
    VERBATIM)
  set(unbcl_gzipped ${unbcl_gzipped} ${output}.gz PARENT_SCOPE)
endfunction()

set(unbcl_man_dir ${PROJECT_BINARY_DIR}/man)
set(unbcl_man_pages)
foreach(program IN LISTS unbcl_programs)
  configure_file(${PROJECT_SOURCE_DIR}/man/${program}.1 ${unbcl_man_dir}/${program}.1 COPYONLY)
  unbcl_gzip(${unbcl_man_dir}/${program}.1 ${unbcl_man_dir}/gz/${program}.1)
  list(APPEND unbcl_man_pages ${unbcl_man_dir}/gz/${program}.1.gz)
endforeach()
set(unbcl_changelog ${PROJECT_BINARY_DIR}/doc/changelog)
unbcl_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${unbcl_changelog})
add_custom_target(unbcl_compressed_docs ALL DEPENDS ${unbcl_gzipped})

install(TARGETS ${unbcl_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The compiler and the C runtime leave their version strings in .comment; nothing reads them.
# This runs after the install (and the strip, when one is asked for) of the programs.
if(CMAKE_OBJCOPY)
  foreach(program IN LISTS unbcl_programs)
    install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${program}>\"
      COMMAND_ERROR_IS_FATAL ANY)")
  endforeach()
endif()
install(FILES ${unbcl_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${unbcl_changelog}.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME unbcl)

# Shell completion for bcl. Each shell's directory is taken from its pkg-config file when
# there is one, relative to that file's prefix so that it follows the install prefix.
function(unbcl_completion_dir variable module fallback)
  set(dir ${fallback})
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --variable=completionsdir ${module}
                    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --variable=prefix ${module}
                    OUTPUT_VARIABLE prefix OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(found AND prefix AND found MATCHES "^${prefix}/(.+)$")
      set(dir ${CMAKE_MATCH_1})
    elseif(found)
      set(dir ${found})
    endif()
  endif()
  set(${variable} ${dir} CACHE STRING "Where the ${module} completion for bcl is installed")
endfunction()

if(TARGET bcl)
  unbcl_completion_dir(UNBCL_BASH_COMPLETION_DIR bash-completion
                       ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  unbcl_completion_dir(UNBCL_FISH_COMPLETION_DIR fish ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
  # zsh has no pkg-config file; this is where Debian's zsh looks for packaged completion.
  set(UNBCL_ZSH_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
      CACHE STRING "Where the zsh completion for bcl is installed")
  install(FILES ${PROJECT_SOURCE_DIR}/completion/bcl.bash DESTINATION ${UNBCL_BASH_COMPLETION_DIR} RENAME bcl)
  install(FILES ${PROJECT_SOURCE_DIR}/completion/bcl.fish DESTINATION ${UNBCL_FISH_COMPLETION_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/completion/_bcl DESTINATION ${UNBCL_ZSH_COMPLETION_DIR})
endif()

set(CPACK_PACKAGE_NAME unbcl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the unbcl developers")
set(CPACK_PACKAGE_CONTACT "unbcl developers <maintainers@users.noreply.invalid>")
if(TARGET bcl)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "extract, list and create index and data file archives")
else()
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list and extract index and data file archives")
endif()
set(unbcl_description_unbcl [=[
unbcl lists the index and writes every member into a file of its own,
byte for byte. It refuses absolute names and names with a '..' component.]=])
set(unbcl_description_bcl [=[
bcl lists (also as JSON, with checksums), tests, extracts (in parallel),
prints, mounts and creates such archives, and updates, appends to,
deletes from and renames within them. Shell completion for bcl is
included for bash, zsh and fish.]=])
if(TARGET bcl)
  set(CPACK_PACKAGE_DESCRIPTION "Two programs for archives made of a plain-text index, which names each
member with its offset and length, and a flat data file that holds the
members' bytes.

${unbcl_description_unbcl}

${unbcl_description_bcl}")
else()
  set(CPACK_PACKAGE_DESCRIPTION "A program for archives made of a plain-text index, which names each
member with its offset and length, and a flat data file that holds the
members' bytes.

${unbcl_description_unbcl}")
endif()
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
