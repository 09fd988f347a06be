#include <QCoreApplication>
#include <cstdio>

namespace {
const char usage[] = "usage: vellmir-app --scheduled-run | --check-seal-access | cli <command> [...]\n";
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::fputs(usage, stderr);
    return 2;
}
