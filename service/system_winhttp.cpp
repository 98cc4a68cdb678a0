#include "service/system_winhttp.h"

namespace qvs {

SystemWinHttp::SystemWinHttp() noexcept {
#define QVS_WINHTTP_FIND(name) api_.name = library_.Find<decltype(::WinHttp##name)>("WinHttp" #name);
  QVS_WINHTTP_FUNCTIONS(QVS_WINHTTP_FIND)
#undef QVS_WINHTTP_FIND
}

}  // namespace qvs
