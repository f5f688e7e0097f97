# A commit by rename or link is followed by a sync of the directory: strace
# watches the tests of the whole-file write, the message store, the codec
# output and the items received over the link. The numbering tests that
# take the queue's read permission away cannot sync it, and are left out.
add_test(NAME CommitSync.EveryCommitSyncsItsDirectory
         COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/platform/commit_sync_check.py
                 "$<TARGET_FILE:test_platform> --gtest_filter=AtomicFile.*"
                 "$<TARGET_FILE:test_core> --gtest_filter=MessageStore.*:TableFiles.*:-MessageStore.NumberingDoesNotReadTheDirectory:MessageStore.ExchangedNamesInADirectoryThatCannotBeListed"
                 "$<TARGET_FILE:test_link_codec> --gtest_filter=Bzip2Files.*:PklibFiles.*"
                 "$<TARGET_FILE:test_link_session> --gtest_filter=HostilePeer.*")
set_tests_properties(CommitSync.EveryCommitSyncsItsDirectory PROPERTIES
                     ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120)
