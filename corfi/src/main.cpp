#include "CVFIdaemon.h"

int main(int argc, char** argv) {
    return CVFImain(argc, argv);
}
