# The device search and SCSI transfer (the platform backends), shared by source with the tax data transfer
# library: each shared library links its own hidden copy, so neither depends on the other.
if(NOT TARGET usbdevice)
    set(USBDEVICE_DIR ${CMAKE_CURRENT_LIST_DIR})
    if(WIN32)
        add_library(usbdevice STATIC ${USBDEVICE_DIR}/platform/windows/QuillonWindows.cpp
                                     ${USBDEVICE_DIR}/platform/QuillonDiagnostic.cpp)
        target_link_libraries(usbdevice PUBLIC setupapi)
    else()
        add_library(usbdevice STATIC ${USBDEVICE_DIR}/platform/linux/QuillonLinux.cpp
                                     ${USBDEVICE_DIR}/platform/linux/QuillonEmulator.cpp
                                     ${USBDEVICE_DIR}/platform/QuillonDiagnostic.cpp)
    endif()
    set_target_properties(usbdevice PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden
                                               VISIBILITY_INLINES_HIDDEN ON)
    target_include_directories(usbdevice PUBLIC ${USBDEVICE_DIR}/src)
endif()
