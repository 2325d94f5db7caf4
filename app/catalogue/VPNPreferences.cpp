#include "app/catalogue/VPNPreferences.h"

#include "app/catalogue/PexXmlParser.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <mutex>
#include <random>
#include <utility>

#include <utf8proc.h>

namespace {

// Consulted top to bottom; every name is distinct and written in composed form.
constexpr std::array<std::pair<const char*, const char*>, 50> kFlagTable{{
    {"日本", "flg_jpn"},
    {"韓国", "flg_kr"},
    {"台湾", "flg_tw"},
    {"アメリカ", "flg_us"},
    {"ドイツ", "flg_ger"},
    {"イギリス", "flg_eng"},
    {"フランス", "flg_fra"},
    {"ベトナム", "flg_vn"},
    {"タイ", "flg_th"},
    {"インドネシア", "flg_id"},
    {"カナダ", "flg_can"},
    {"ブラジル", "flg_bra"},
    {"アルゼンチン", "flg_arg"},
    {"メキシコ", "flg_mex"},
    {"オランダ", "flg_nld"},
    {"スウェーデン", "flg_swe"},
    {"スイス", "flg_che"},
    {"ベルギー", "flg_bel"},
    {"デンマーク", "flg_dnk"},
    {"ノルウェー", "flg_nor"},
    {"ポーランド", "flg_pol"},
    {"アイルランド", "flg_irl"},
    {"ロシア", "flg_rus"},
    {"チェコ", "flg_cze"},
    {"イタリア", "flg_ita"},
    {"スペイン", "flg_esp"},
    {"フィンランド", "flg_fin"},
    {"オーストリア", "flg_aut"},
    {"スロバキア", "flg_svk"},
    {"ブルガリア", "flg_bgr"},
    {"ハンガリー", "flg_hun"},
    {"ルーマニア", "flg_rou"},
    {"ポルトガル", "flg_prt"},
    {"ルクセンブルグ", "flg_lux"},
    {"ウクライナ", "flg_ukr"},
    {"ギリシャ", "flg_grc"},
    {"アイスランド", "flg_isl"},
    {"クロアチア", "flg_hrv"},
    {"オーストラリア", "flg_aus"},
    {"シンガポール", "flg_sgp"},
    {"香港", "flg_hkg"},
    {"マカオ", "flg_mac"},
    {"ニュージーランド", "flg_nzl"},
    {"フィリピン", "flg_phl"},
    {"マレーシア", "flg_mys"},
    {"南アフリカ", "flg_zaf"},
    {"インド", "flg_ind"},
    {"アラブ首長国連邦", "flg_are"},
    {"イスラエル", "flg_isr"},
    {"トルコ", "flg_tur"},
}};

std::mutex randomMu;
UniformRandom randomSource;

uint32_t drawUniform(uint32_t upperBound) {
    std::unique_lock lock(randomMu);
    if (randomSource) {
        UniformRandom source = randomSource;
        lock.unlock();
        uint32_t v = source(upperBound);
        return v < upperBound ? v : v % upperBound;
    }
    static std::mt19937 engine{std::random_device{}()};
    return std::uniform_int_distribution<uint32_t>(0, upperBound - 1)(engine);
}

} // namespace

void setServerChoiceRandom(UniformRandom source) {
    std::lock_guard lock(randomMu);
    randomSource = std::move(source);
}

std::optional<long long> parseStatus(const std::string& text) {
    const char* b = text.data();
    const char* e = b + text.size();
    if (b != e && *b == '+') ++b;
    // from_chars takes a leading '-' itself but not "+-1" or "--1".
    if (b == e || (*b == '-' && text[0] == '+')) return std::nullopt;
    long long v = 0;
    auto [ptr, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || ptr != e) return std::nullopt;
    return v;
}

std::string chooseServerAddr(const std::vector<ServerInfo>& list, const std::string& regionNo) {
    long long threshold = 3;
    std::vector<const ServerInfo*> candidates;
    for (const ServerInfo& info : list) {
        if (info.regionNo != regionNo) continue;
        auto s = parseStatus(info.status);
        if (!s) continue; // the parser drops such entries; a hand-built list may still hold one
        if (threshold == 0) continue;
        if (*s <= threshold) candidates.push_back(&info);
        threshold = std::min(*s, threshold);
    }
    if (candidates.empty()) return {};
    return candidates[drawUniform(static_cast<uint32_t>(candidates.size()))]->Server;
}

std::string getServerAddr(const std::string& regionNo) {
    return chooseServerAddr(PexXmlParser::_serverList, regionNo);
}

std::string getOCServerAddr(const std::string& regionNo) {
    return chooseServerAddr(PexXmlParser::_OCserverList, regionNo);
}

std::string canonicalText(const std::string& text) {
    utf8proc_uint8_t* out = nullptr;
    utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                      static_cast<utf8proc_ssize_t>(text.size()), &out,
                                      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (n < 0) return text;
    std::string result(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
    std::free(out);
    return result;
}

bool canonicallyEqual(const std::string& a, const std::string& b) {
    return a == b || canonicalText(a) == canonicalText(b);
}

std::string flagImageName(const std::string& regionName) {
    const std::string name = canonicalText(regionName);
    for (const auto& [region, image] : kFlagTable) {
        if (name == region) return image;
    }
    return kDefaultFlagImage;
}
