# The velko tool's messages in the staff's language, with GNU gettext (glibc carries libintl):
# po/LANG.po is compiled into locale/LANG/LC_MESSAGES/velko.mo in the build tree, where a
# build run from there finds it, and installed as share/locale/LANG/LC_MESSAGES/velko.mo. The
# MinGW builds have no libintl: they speak English, as a build with VELKO_NLS off does.
# VELKO_NLS is set beside VELKO_TESTS, before the tests need it.
include(GNUInstallDirs)

target_sources(velko_files PRIVATE files/i18n.cpp)
if(NOT VELKO_NLS)
    target_sources(velko_files PRIVATE files/i18n_none.cpp)
    return()
endif()
target_sources(velko_files PRIVATE files/i18n_gettext.cpp)
target_compile_definitions(velko_files PUBLIC VELKO_NLS)

find_program(VELKO_MSGFMT msgfmt)
find_program(VELKO_XGETTEXT xgettext)
if(NOT VELKO_MSGFMT OR NOT VELKO_XGETTEXT)
    message(FATAL_ERROR "msgfmt and xgettext are missing: run ./scripts/setup (Debian's gettext)")
endif()

set(VELKO_LANGUAGES pl)
set(velko_catalogues)
foreach(language ${VELKO_LANGUAGES})
    set(dir ${CMAKE_BINARY_DIR}/locale/${language}/LC_MESSAGES)
    add_custom_command(OUTPUT ${dir}/velko.mo
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND ${VELKO_MSGFMT} --check -o ${dir}/velko.mo ${CMAKE_SOURCE_DIR}/po/${language}.po
        DEPENDS ${CMAKE_SOURCE_DIR}/po/${language}.po
        COMMENT "Compiling the ${language} catalogue" VERBATIM)
    list(APPEND velko_catalogues ${dir}/velko.mo)
    install(FILES ${dir}/velko.mo DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${language}/LC_MESSAGES)
endforeach()

# The template the translations start from, extracted from the sources the tool's words are in:
# build/PRESET/po/velko.pot (msgmerge po/LANG.po into it to bring a translation up to date).
file(GLOB velko_message_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cli/*.cpp
     ${CMAKE_SOURCE_DIR}/jobs/*.cpp ${CMAKE_SOURCE_DIR}/files/*.cpp)
set(VELKO_POT ${CMAKE_BINARY_DIR}/po/velko.pot)
add_custom_command(OUTPUT ${VELKO_POT}
    COMMAND ${CMAKE_SOURCE_DIR}/po/extract.sh ${VELKO_POT}
    DEPENDS ${velko_message_sources} ${CMAKE_SOURCE_DIR}/po/extract.sh
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    COMMENT "Extracting the tool's messages into po/velko.pot" VERBATIM)
add_custom_target(velko_translations ALL DEPENDS ${velko_catalogues} ${VELKO_POT})
add_dependencies(velko_cli velko_translations)
