# The Debian package, made by `cpack -G DEB` in the build directory:
# tovra_<version>_<arch>.deb, installed under /usr, with the program stripped as
# dh_strip strips it and its library dependencies computed by dpkg-shlibdeps.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "TOVRA maintainers <maintainers@users.noreply.c-seed-6509890c.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small console archiver with zlib compression")
set(CPACK_PACKAGE_DESCRIPTION
    "TOVRA packs the files that one name or wildcard pattern matches into an
archive of its own format, unpacks such an archive into the current
directory, and lists what an archive holds.")
if(TOVRA_LIBDEFLATE)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "

Packing deflates on every CPU: files over 256 KiB and up to 8 MiB whole
with libdeflate, the others in blocks with zlib, one zlib stream per file
either way.")
endif()
if(TOVRA_ISAL)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "

Unpacking inflates with the Intel Intelligent Storage Acceleration Library
(ISA-L), about three times as fast as zlib; any stream it does not end
cleanly is inflated again by zlib, which decides what is reported.")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The completion is loaded only where bash-completion is.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# Debian wants the licence as share/doc/tovra/copyright, in its machine-readable
# form, and no second copy beside it; documents compressed (the README too) and a
# changelog. The plain install's README and LICENSE (component docs) stay out of the
# package; these belong to a component that only the package installs.
function(tovra_write_debian_copyright licence_file copyright_file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${licence_file})
  file(READ ${licence_file} licence)
  if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n+(.+[^\n])\n*$")
    message(FATAL_ERROR "${licence_file}: no \"Copyright (c) ...\" line followed by the licence text")
  endif()
  set(holder "${CMAKE_MATCH_1}")
  # Paragraphs of the licence text become lines indented by one space, blank lines " .".
  string(REPLACE "\n\n" "\n.\n" terms "${CMAKE_MATCH_2}")
  string(REPLACE "\n" "\n " terms " ${terms}")
  file(WRITE ${copyright_file}
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tovra

Files: *
Copyright: ${holder}
License: Expat
${terms}
")
endfunction()
tovra_write_debian_copyright(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/debian/copyright)

# The date honours SOURCE_DATE_EPOCH, for a reproducible package.
string(TIMESTAMP TOVRA_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in debian/changelog @ONLY)
add_custom_command(OUTPUT debian/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9nkf debian/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog VERBATIM)
add_custom_command(OUTPUT debian/README.md.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md debian/README.md
  COMMAND ${GZIP_PROGRAM} -9nf debian/README.md
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md VERBATIM)
add_custom_target(debian_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz
                                          ${PROJECT_BINARY_DIR}/debian/README.md.gz)

install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
              ${PROJECT_BINARY_DIR}/debian/README.md.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
# Stripped as dh_strip strips a program: symbols and debugging information, and the
# .comment and .note sections, which only say how it was built.
if(NOT CMAKE_STRIP)
  message(FATAL_ERROR "no strip program found: it strips the packaged program")
endif()
install(CODE "
  set(program \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tovra\")
  execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                          \"\${program}\" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR \"cannot strip \${program}\")
  endif()" COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")

include(CPack)
