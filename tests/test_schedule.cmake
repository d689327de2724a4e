# Read by ctest after the tests gtest_discover_tests found: properties of
# single tests, which the discovery gives a whole suite alike.
#
# COST: ctest starts the costliest tests first. A fresh build (CI's clone)
# has no timings of an earlier run, so every test costs the same and they
# start in the order they were added: the end-to-end runs that take tens of
# seconds, added late, started when most of the rest was done and made the
# run's tail. Each pattern's cost is about its tests' seconds in a plain
# build; only the long ones are named, so that they start first but not all
# at once (four host runs under a sanitizer started together are load
# enough to make a first scan run out of its time).
#
# FIXTURES: PlaybackFill fills the store the Playback, PlaybackOnPath and
# PlaybackAtRate tests start from, once, before them.
set(_vel_costs
  "^BothPresentPaths/PlaybackOnPath\\.FirstPlayBehindTheRenderer" 17
  "^Sizes/MetalPictureAtSize\\..*/native" 16
  "^Sizes/MetalPictureAtSize\\." 8
  "^BothPresentPaths/PlaybackOnPath\\.LoopOverTheWorkArea" 12
  "^BothPresentPaths/PoolPreviewRun\\.PlayingIntoFramesSilentWorkersHold" 25
  "^BothPresentPaths/PlaybackOnPath\\.BillionsOfFrames" 11
  "^Rates/PlaybackAtRate\\.KeysWhilePlaying" 11
  "^BothPresentPaths/PoolForeignSize\\." 21
  "^PoolFolderRun\\.AnUnusablePoolFolder" 20
  "^BothPresentPaths/PlaybackOnPath\\.APauseHolds" 9
  "^MetalPanel\\.SwitchesAndFaults" 15
  "^BothPresentPaths/PlaybackOnPath\\.PlayFromOutside" 7
  "^PlaybackFill\\." 14
  "^Lengths/FullCache\\." 12
  "^HiddenPanel\\." 12
  "^BothPresentPaths/PoolPreviewRun\\." 11
)

file(GLOB _vel_lists "${vel_test_lists_dir}/*_tests.cmake")
foreach(_list IN LISTS _vel_lists)
  file(STRINGS "${_list}" _adds REGEX "^add_test\\(\\[=\\[")
  foreach(_add IN LISTS _adds)
    if(NOT _add MATCHES "^add_test\\(\\[=\\[([^]]+)\\]=\\]")
      continue()
    endif()
    set(_name "${CMAKE_MATCH_1}")
    set(_pairs ${_vel_costs})
    while(_pairs)
      list(POP_FRONT _pairs _pattern _cost)
      if(_name MATCHES "${_pattern}")
        set_tests_properties("${_name}" PROPERTIES COST ${_cost})
        break()
      endif()
    endwhile()
    if(_name MATCHES "^PlaybackFill\\.")
      set_tests_properties("${_name}" PROPERTIES FIXTURES_SETUP playback_store)
    elseif(_name MATCHES "^((BothPresentPaths|Rates)/)?Playback(OnPath|AtRate)?\\.")
      set_tests_properties("${_name}" PROPERTIES FIXTURES_REQUIRED playback_store)
    endif()
  endforeach()
endforeach()
