# Read by ctest after the tests gtest_discover_tests found: properties of
# single tests, which the discovery gives a whole suite alike.
#
# COST: ctest starts the costliest tests first. A fresh build (CI's clone)
# has no timings of an earlier run, so every test costs the same and they
# start in the order they were added: the runs that take a minute under a
# sanitizer, added late, started when most of the rest was done and made
# the run's tail. A pattern's cost is about its tests' seconds in the slower
# sanitizer build (on a loaded machine; only the order counts), the first
# pattern that matches a test gives its cost; only the long ones are named.
# The fill the Playback tests wait for goes first.
#
# FIXTURES: PlaybackFill fills the store the Playback, PlaybackOnPath and
# PlaybackAtRate tests start from, once, before them.
set(_vel_costs
  "^PlaybackFill\\." 300
  "^Rates/PlaybackAtRate\\..*/fps120" 170
  "^StopPicture\\." 100
  "^PicturePlayhead\\.ClicksAndDragsBack" 75
  "^PicturePlayhead\\.AResizeOfThePausedPanel" 60
  "^Sizes/MetalPictureAtSize\\..*/native" 100
  "^Lengths/FullCache\\..*/ten_hours" 90
  "^BothPresentPaths/PoolPreviewRun\\.SilentWorkersDoNotKeep" 70
  "^BothPresentPaths/PlaybackOnPath\\.PlayFromOutside" 70
  "^BothPresentPaths/PoolForeignSize\\." 70
  "^AerenderRun\\.FilesReadBack" 70
  "^MetalPanel\\.SwitchesAndFaults" 65
  "^HiddenPanel\\." 60
  "^InputOrderRun\\." 60
  "^Rates/PlaybackAtRate\\." 60
  "^PixelConvert32\\.EveryPairOfEdgeValues" 60
  "^Sizes/MetalPictureAtSize\\." 50
  "^Downsamples/MemoryWorkerRun\\." 50
  "^MetalRaster\\.DeviceDraw" 50
  "^PanelPainterTest\\.DrawsVisibleImageViews" 50
  "^RasterCrossCheck\\." 45
  "^Playback\\.FarClick" 45
  "^BothPresentPaths/PlaybackOnPath\\.FirstPlayBehindTheRenderer" 40
  "^SpanBlender\\." 35
  "^BothPresentPaths/PoolPreviewRun\\." 30
  "^BothPresentPaths/PlaybackOnPath\\." 30
  "^MetalDraw\\.MagnifiedPicture" 30
  "^PoolFolderRun\\.AnUnusablePoolFolder" 25
  "^PoolBatchRun\\.FourWorkers" 25
  "^MetalPicture\\.MagnifiedPicture" 25
  "^Lengths/FullCache\\." 12
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
