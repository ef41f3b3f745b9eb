#pragma once
// cortaviad's command line and start-up: where it listens, whether it needs
// a token, the first poll. Kept out of main so that tests can start it.
namespace cv::service {

int RunDaemon(int argc, char** argv);

}  // namespace cv::service
