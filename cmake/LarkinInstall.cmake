# The installed set: one folder, ${LARKIN_INSTALL_DIR}, laid out as the build
# tree's bin/ is, since every program finds its libraries, cmd, File_Images,
# the default raw image, the help page and the copyright file beside itself.
# Links in bin/ start the two programs people run; the desktop finds the
# launcher and the icon in share/.

foreach(program Larkin larkin-cli larkin-writer cmd simctl)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${LARKIN_INSTALL_DIR})
  endif()
endforeach()
# The engine, and what it loads by name: Verran and Corvid, Corvid's core
# module Pellom, and the ASPI manager Pellom looks for.
foreach(library LarkinPlatform Tessel Verran Corvid Pellom wnaspi32)
  if(TARGET ${library})
    install(TARGETS ${library} LIBRARY DESTINATION ${LARKIN_INSTALL_DIR})
  endif()
endforeach()

# File_Images as built (the source folder lacks the demo KERNEL.SYS), and the
# raw image larkin-cli write-image passes when the current folder has none.
if(TARGET larkin_file_images)
  install(DIRECTORY ${LARKIN_BIN_DIR}/File_Images DESTINATION ${LARKIN_INSTALL_DIR})
endif()
if(TARGET larkin_raw_image)
  install(FILES ${LARKIN_BIN_DIR}/VeltraneUSB4MB.dat DESTINATION ${LARKIN_INSTALL_DIR})
endif()
install(FILES COPYRIGHT DESTINATION ${LARKIN_INSTALL_DIR})

if(TARGET Larkin)
  install(FILES frontend/larkinhelp.htm DESTINATION ${LARKIN_INSTALL_DIR})
  install(FILES frontend/larkin.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES frontend/resources/larkin.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
endif()

foreach(program Larkin larkin-cli)
  if(TARGET ${program})
    install(CODE "
      set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      file(MAKE_DIRECTORY \"\${bin}\")
      file(CREATE_LINK \"../${LARKIN_INSTALL_DIR}/${program}\" \"\${bin}/${program}\" SYMBOLIC)")
  endif()
endforeach()

# The polkit action of larkin-writer: its exec.path annotation names the
# helper where this install puts it (the prefix is known only now).
if(TARGET larkin-writer)
  install(CODE "
    set(helper \"\${CMAKE_INSTALL_PREFIX}/${LARKIN_INSTALL_DIR}/larkin-writer\")
    file(READ \"${CMAKE_SOURCE_DIR}/tools/larkin-writer/org.larkin.write-drive.policy.in\" policy)
    string(REPLACE \"@LARKIN_WRITER_INSTALLED@\" \"\${helper}\" policy \"\${policy}\")
    set(actions \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/polkit-1/actions\")
    file(MAKE_DIRECTORY \"\${actions}\")
    file(WRITE \"\${actions}/org.larkin.write-drive.policy\" \"\${policy}\")
    message(STATUS \"Installing: \${actions}/org.larkin.write-drive.policy\")")
endif()
