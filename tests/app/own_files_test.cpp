// A score that carries the name of a file the run writes would be emptied before it was read.

#include <gtest/gtest.h>

#include <string>

#include "app/start_up.h"
#include "tests/app/score_text.h"
#include "tests/support/scripted_dialogs.h"

namespace {

TEST(OwnFiles, AScoreNamedLikeAFileTheRunWritesIsRefusedUntouched) {
  const struct {
    std::string path;
    bool refused;
  } cases[] = {
      {"QUILLBRAID.XML", true},          {".\\quillbraid.xml", true},
      {"QUILLBRAID_NEW.TXT", true},      {"QUILLBRAID_P2.TXT", true},
      {"scores\\kestrinbay.wrk", false}, {"scores\\QUILLBRAID.XML", false},
      {"QUILLBRAID.XML.bak", false},
  };
  const std::string score = apptest::score(3);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    testsupport::TestRun run;
    run.fs.put(c.path, score);
    const int status = app::runProgram(
        run.ctx, "CALLEDBY=ORVANTIDE,FILE=" + c.path + "/STAVESUP=1,PART=3,INSTR=,2,3,/");
    if (c.refused) {
      EXPECT_EQ(status, 1);
      EXPECT_EQ(run.dialogs.shown(),
                (std::vector<testsupport::Box>{
                    {"Input file is a file that Quillbraid writes: " + c.path + ". Run aborted",
                     platform::kBoxStop}}));
      EXPECT_EQ(run.fs.files().size(), 1u);
      EXPECT_EQ(run.fs.get(c.path), score);
    } else {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(run.fs.get(c.path + "org"), score);
    }
  }
}

}  // namespace
