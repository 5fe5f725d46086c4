# The file conversion shared by the resample tool and the Python module's zel.batch, so that both write the same
# files by the same code: reading through libsndfile, the segment conversion on the public resampler API, the
# samples' encoding, the WAV writer, temporary files and their renaming. A static library of position-independent
# code, linked into the tool and into the extension module; included by both directories, defined once. Without
# libsndfile it is not built.
include_guard(GLOBAL)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(SNDFILE QUIET IMPORTED_TARGET GLOBAL sndfile)
endif()
if(SNDFILE_FOUND)
    find_package(Threads REQUIRED)
    add_library(zel_resample_files STATIC
        ${CMAKE_CURRENT_LIST_DIR}/convert.cpp ${CMAKE_CURRENT_LIST_DIR}/file_job.cpp
        ${CMAKE_CURRENT_LIST_DIR}/frame_writers.cpp ${CMAKE_CURRENT_LIST_DIR}/input.cpp
        ${CMAKE_CURRENT_LIST_DIR}/output_file.cpp ${CMAKE_CURRENT_LIST_DIR}/output_format.cpp
        ${CMAKE_CURRENT_LIST_DIR}/raw_source.cpp
        ${CMAKE_CURRENT_LIST_DIR}/wav_writer.cpp)
    set_target_properties(zel_resample_files PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_compile_features(zel_resample_files PUBLIC cxx_std_17)
    target_include_directories(zel_resample_files PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(zel_resample_files PUBLIC zel::resampler PkgConfig::SNDFILE Threads::Threads
                                             PRIVATE zel_warnings)
endif()
