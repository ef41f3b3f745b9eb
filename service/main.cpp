#include "service/Daemon.h"

int main(int argc, char** argv) { return cv::service::RunDaemon(argc, argv); }
