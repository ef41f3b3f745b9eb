#pragma once
// cortavia-cli run in the test's own process, its streams kept.
#include "cli/Cli.h"
#include "cli/Records.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace cv::cli_test {

struct Result {
    int rc;
    std::string out, err;
    // Standard output as JSON; null (and a failed expectation) when it is none.
    cli::Record json() const
    {
        cli::Record j = cli::Record::parse(out, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << out;
        return j.is_discarded() ? cli::Record() : j;
    }
};

inline Result Cli(std::vector<std::string> args)
{
    std::ostringstream out, err;
    const int rc = cli::Run(args, out, err);
    return {rc, out.str(), err.str()};
}

}  // namespace cv::cli_test
