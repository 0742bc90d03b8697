# Embeds VelkinCapture/Info.plist in a target's binary, in the ELF section
# ".velkin_info_plist", so that the built executable carries its own description.
set(VELKIN_INFO_PLIST ${CMAKE_SOURCE_DIR}/VelkinCapture/Info.plist)

function(velkin_embed_info_plist target)
  set(asm ${CMAKE_CURRENT_BINARY_DIR}/${target}_info_plist.S)
  file(WRITE ${asm}
    "  .section .velkin_info_plist,\"a\",@progbits\n"
    "  .incbin \"${VELKIN_INFO_PLIST}\"\n"
    "  .section .note.GNU-stack,\"\",@progbits\n")
  set_source_files_properties(${asm} PROPERTIES OBJECT_DEPENDS ${VELKIN_INFO_PLIST})
  target_sources(${target} PRIVATE ${asm})
endfunction()
