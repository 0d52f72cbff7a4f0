/*
 * The kivo executable. Everything, the UI library included, lives in
 * libkivo; see kivo_main for the command line.
 */
#include "app/app_internal.h"

int main(int argc, char **argv) {
    return kivo_main(argc, argv);
}
