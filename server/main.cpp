// Entry point of the wendara server. Start-up and shutdown come with the
// program issue; until then the binary only reports that it was built.
#include <cstdio>

int main(int argc, char** argv)
{
    const char* config = argc > 1 ? argv[1] : "/etc/tavik-wendara/wendara.conf";
    std::printf("wendara: built; configuration %s (the server does not serve yet)\n", config);
    return 0;
}
