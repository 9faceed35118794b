#ifndef TVX_TESTPLUGINRECORD_H
#define TVX_TESTPLUGINRECORD_H

// Files shared by the test plugins and the tests that read what they did.
// All of them lie in the application directory of the process under test.

// Result codes of the result plugin, one per run, separated by white space;
// runs beyond the list return 0.
#define TVX_TEST_PLUGIN_RESULTS_FILE "testplugin-results.txt"
// One JSON object per line and run of the result plugin.
#define TVX_TEST_PLUGIN_RECORD_FILE "testplugin-record.jsonl"
// A restart loop ends here whatever the result list says.
#define TVX_TEST_PLUGIN_MAX_RUNS 8
// Written by the stand-in upgrader beside itself.
#define TVX_TEST_UPGRADER_RECORD_FILE "upgrader-record.json"

#endif // TVX_TESTPLUGINRECORD_H
