# What `cmake --install` puts beside the programs: manual pages (compressed,
# as Debian installs them), bash completions and the message catalogue
# template. The utility is component "qsupdate", the lab "lab", so that a
# package of the utility leaves the test tool out.

find_program(QS_GZIP gzip REQUIRED)

# gzip -n leaves the name and time out, so the same page compresses to the
# same bytes.
function(qs_man_page page section component)
  set(source ${CMAKE_SOURCE_DIR}/man/${page}.${section})
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.${section}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                     COMMAND ${QS_GZIP} -9nc ${source} > ${compressed}
                     DEPENDS ${source} VERBATIM)
  add_custom_target(man_${page} ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

set(QS_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

qs_man_page(qsupdate 8 qsupdate)
install(FILES ${CMAKE_SOURCE_DIR}/completion/qsupdate DESTINATION ${QS_COMPLETIONS_DIR} COMPONENT qsupdate)
install(FILES ${CMAKE_SOURCE_DIR}/po/qsupdate.pot DESTINATION ${CMAKE_INSTALL_DATADIR}/qsupdate COMPONENT qsupdate)
if(TARGET qslab)
  qs_man_page(qslab 1 lab)
  install(FILES ${CMAKE_SOURCE_DIR}/completion/qslab DESTINATION ${QS_COMPLETIONS_DIR} COMPONENT lab)
endif()

# The catalogue template, regenerated from the sources into the source tree
# (commit it): cmake --build BUILD --target pot
add_custom_target(pot COMMAND ${CMAKE_SOURCE_DIR}/po/make-pot.sh ${CMAKE_SOURCE_DIR}/po/qsupdate.pot VERBATIM)
