// A Qt widgets program that only starts: the application object exists,
// then it says so and ends.
#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    std::fputs("started\n", stdout);
    std::fflush(stdout);
    return 0;
}
