// A winhttp.dll as somebody would plant it beside Noctara.exe: it exports the
// names the program takes from WinHTTP and fails every call.
extern "C" long long PlantedStub()
{
    return 0;
}
