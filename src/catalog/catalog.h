#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <string_view>

// Every user-visible text of the program in its three languages, named by its
// English text. Columns: 0 English, 1 Simplified Chinese, 2 Traditional Chinese.
struct CatalogEntry
{
    std::string_view text[3];
};

inline constexpr CatalogEntry kMessageCatalog[] = {
    {"Tesmora V5.00", "读卡机设定程式 V5.00", "讀卡機設定程式 V5.00"},
    {"Open COM", "开启串口", "開啟串口"},
    {"Error", "错误", "錯誤"},
    {"S/N", "序号", "序號"},
    {"VER", "版本", "版本"},
    {"&Language", "语言(&Language)", "語言(&Language)"},
    {"&File", "档案(&F)", "檔案(&F)"},
    {"E&xit", "离开(&x)", "離開(&x)"},
    {"Scan reader", "扫描读卡机", "掃描讀卡機"},
    {"Scan COM", "扫描串口", "掃描串口"},
    {"Reader find ok. (COM", "读卡机资讯完成. (串口", "讀卡機資訊完成. (串口"},
    {"Reader data error! (COM", "读卡机资讯错误! (串口", "讀卡機資訊錯誤! (串口"},
    {"Reader not find", "读卡机没有连线", "讀卡機沒有連線"},
    {"Start select reader type.", "请先选择读卡机型号.", "請先選擇讀卡機型號."},
    {"ID", "编号", "編號"},
    {"Set reader ID", "设定读卡机编号", "設定讀卡機編號"},
    {"Set reader ID ok.", "设定读卡机编号完成.", "設定讀卡機編號完成"},
    {"Set reader ID error!", "设定读卡机编号错误!", "設定讀卡機編號錯誤!"},
    {"Lock", "锁定", "鎖定"},
    {"Set reader baud rate", "设定通讯速度", "設定通訊速度"},
    {"Set Reader baud rate ok.", "设定读卡机通讯速度完成.", "設定讀卡機通訊速度完成."},
    {"Set reader baud rate error!", "设定读卡机通讯速度错误!", "設定讀卡機通訊速度錯誤!"},
    {"Interface:", "介面:", "介面:"},
    {"Wiegand:", "维更:", "維更:"},
    {"Set reader interface", "设定读卡机介面", "設定讀卡機介面"},
    {"Set reader interface ok.", "设定读卡机介面完成.", "設定讀卡機介面完成."},
    {"Set reader interface error!", "设定读卡机介面错误!", "設定讀卡機介面錯誤!"},
    {"Set factory default", "设定出厂预设", "設定出廠預設"},
    {"Set factory default ok.", "设定出厂预设完成.", "設定出廠預設完成."},
    {"Set factory default error!", "设定出厂预设错误!", "設定出廠預設錯誤!"},
    {"Cancel read card", "取消读卡", "取消讀卡"},
    {"Card ID", "卡片ID", "卡片ID"},
    {"Read card", "读取卡片", "讀取卡片"},
    {"Read card two-way", "双向读取卡片", "雙向讀取卡片"},
    {"Card type:", "卡片类别:", "卡片類別:"},
    {"Set card type", "设定卡片类别", "設定卡片類別"},
    {"Set card type ok.", "设定卡片类别完成.", "設定卡片類別完成."},
    {"Set card type error!", "设定卡片类别错误!", "設定卡片類別錯誤!"},
    {"Wiegand key:", "维更按键:", "維更按鍵:"},
    {"Set key parity", "设定按键同位元", "設定按鍵同位元"},
    {"Set key parity ok.", "设定按键同位元完成.", "設定按鍵同位元完成."},
    {"Set key parity error!", "设定按键同位元错误!", "設定按鍵同位元錯誤!"},
    {"Key Number:", "按键数:", "按鍵數:"},
    {"Set key number", "设定按键数", "設定按鍵數"},
    {"Set key number ok.", "设定按键数完成.", "設定按鍵數完成."},
    {"Set key number error!", "设定按键数错误!", "設定按鍵數錯誤!"},
    {"Delay time:", "延迟时间:", "延遲時間:"},
    {"Sec", "秒", "秒"},
    {"Set key status code", "设定按键状态码", "設定按鍵狀態碼"},
    {"Set key status code ok.", "设定按键状态码完成.", "設定按鍵狀態碼完成."},
    {"Set key status code error!", "设定按键状态码错误!", "設定按鍵狀態碼錯誤!"},
    {"Special setting", "特殊设定", "特殊設定"},
    {"Common", "共用", "共用"},
    {"Keypad", "键盘", "鍵盤"},
    {"Command test", "指令测试", "指令測試"},
    {"Command test ok.", "指令测试完成.", "指令測試完成."},
    {"Command test error!", "指令测试错误!", "指令測試錯誤!"},
    {"Sector:", "区段:", "區段:"},
    {"Block:", "区块:", "區塊:"},
    {"Byte:", "位元组:", "位元組:"},
    {"Key:", "Key:", "Key:"},
    {"Old key:", "旧Key:", "舊Key:"},
    {"New key:", "新Key:", "新Key:"},
    {"Key A", "Key A", "Key A"},
    {"Key B", "Key B", "Key B"},
    {"Key error Msg:", "Key错误讯息:", "Key錯誤訊息:"},
    {"Card ID sector/block/byte", "卡片ID读取之区段/区块/位元组", "卡片ID讀取之區段/區塊/位元組"},
    {"Set sector/block/byte", "设定区段/区块/位元组", "設定區段/區塊/位元組"},
    {"Set sector/block/byte ok.", "设定区段/区块/位元组完成.", "設定區段/區塊/位元組完成."},
    {"Set sector/block/byte error!", "设定区段/区块/位元组错误!", "設定區段/區塊/位元組錯誤!"},
    {"Write key to EEPROM", "写入 KEY 至 EEPROM", "寫入 KEY 至 EEPROM"},
    {"Set key EEPROM", "设定 KEY EEPROM", "設定 KEY EEPROM"},
    {"Set key EEPROM ok.", "设定 KEY EEPROM 完成.", "設定 KEY EEPROM 完成."},
    {"Set key EEPROM error!", "设定 KEY EEPROM 错误!", "設定 KEY EEPROM 錯誤!"},
    {"Write key to card", "写入 KEY 至卡片", "寫入 KEY 至卡片"},
    {"Set card key", "设定卡片KEY", "設定卡片KEY"},
    {"Set card key ok.", "设设定卡片KEY完成.", "設定卡片KEY完成."},
    {"Set card key error!", "设定卡片KEY错误!", "設定卡片KEY錯誤!"},
    {"Card data read/write test", "卡片资料读写测试", "卡片資料讀寫測試"},
    {"Write card data", "写入卡片资料", "寫入卡片資料"},
    {"Write card data ok.", "写入卡片资料完成.", "寫入卡片資料完成."},
    {"Write card data error!", "写入卡片资料错误!", "寫入卡片資料錯誤!"},
    {"Read card data", "读取卡片资料", "讀取卡片資料"},
    {"Read card data ok.", "读取卡片资料完成.", "讀取卡片資料完成."},
    {"Read card data error!", "读取卡片资料错误!", "讀取卡片資料錯誤!"},
    // Why a sector trailer was not sent.
    {"Keys must be 12 hexadecimal digits.", "KEY 须为 12 位十六进位数字.",
     "KEY 須為 12 位十六進位數字."},
    {"Access bits must be 8 hexadecimal digits.", "存取位元须为 8 位十六进位数字.",
     "存取位元須為 8 位十六進位數字."},
    {"Access bits inconsistent: the sector would be blocked.", "存取位元不一致, 区段将被锁死.",
     "存取位元不一致, 區段將被鎖死."},
    // The traffic history window.
    {"&History", "通讯记录(&H)", "通訊紀錄(&H)"},
    {"Traffic history", "通讯记录", "通訊紀錄"},
    {"Save as...", "另存新档...", "另存新檔..."},
    {"Clear", "清除", "清除"},
    // Why no reader was reached: ports this account may not open, or that
    // another program holds.
    {"Permission denied: add your account to the dialout group.",
     "没有权限: 请将帐号加入 dialout 群组.", "沒有權限: 請將帳號加入 dialout 群組."},
    {"Busy: held by another program.", "忙碌: 已被其他程式占用.", "忙碌: 已被其他程式佔用."},
    // Reader profiles: the File menu, the two operations and why an apply stopped.
    {"Save reader settings...", "储存读卡机设定...", "儲存讀卡機設定..."},
    {"Apply reader settings...", "套用读卡机设定...", "套用讀卡機設定..."},
    {"Save reader settings", "储存读卡机设定", "儲存讀卡機設定"},
    {"Save reader settings ok.", "储存读卡机设定完成.", "儲存讀卡機設定完成."},
    {"Save reader settings error!", "储存读卡机设定错误!", "儲存讀卡機設定錯誤!"},
    {"Apply reader settings", "套用读卡机设定", "套用讀卡機設定"},
    {"Apply reader settings ok.", "套用读卡机设定完成.", "套用讀卡機設定完成."},
    {"Apply reader settings error!", "套用读卡机设定错误!", "套用讀卡機設定錯誤!"},
    {"Settings changed", "变更设定数", "變更設定數"},
    {"These settings will change:", "以下设定将变更:", "以下設定將變更:"},
    {"Apply", "套用", "套用"},
    {"Cancel", "取消", "取消"},
    {"The file cannot be read.", "档案无法读取.", "檔案無法讀取."},
    {"The file cannot be written.", "档案无法写入.", "檔案無法寫入."},
    {"The file is not a reader profile.", "档案不是读卡机设定档.", "檔案不是讀卡機設定檔."},
    {"The profile is for another reader type.", "设定档属于其他读卡机型号.",
     "設定檔屬於其他讀卡機型號."},
    {"The profile has an unknown key.", "设定档含有未知的项目.", "設定檔含有未知的項目."},
    {"The profile lacks a setting.", "设定档缺少设定.", "設定檔缺少設定."},
    {"The profile has a value its reader type does not have.", "设定档含有此读卡机型号没有的值.",
     "設定檔含有此讀卡機型號沒有的值."},
    {"Cancelled: nothing was sent.", "已取消, 未传送任何指令.", "已取消, 未傳送任何指令."},
    {"The backup was not written.", "备份未写入.", "備份未寫入."},
    {"Settings differ after the apply.", "套用后设定不符.", "套用後設定不符."},
};

inline constexpr size_t kMessageCatalogSize = std::size(kMessageCatalog);

constexpr int CatalogIndex(std::string_view english)
{
    for (size_t i = 0; i < kMessageCatalogSize; ++i)
        if (kMessageCatalog[i].text[0] == english)
            return static_cast<int>(i);
    return -1;
}

// A catalogue key checked at compile time: naming a text that is not in the
// catalogue does not build, so no caption can come out empty.
struct MsgKey
{
    int index;
    consteval MsgKey(const char* english) : index(CatalogIndex(english))
    {
        if (index < 0)
            throw "text is not in the message catalogue";
    }
};

// Text of an entry in a column; column outside 0..2 falls back to English.
QString CatalogText(MsgKey key, int column);
// Run-time lookup for texts not known at compile time. A miss is logged as a
// critical message (tests fail on it) and yields the English key, never "".
QString CatalogLookup(std::string_view english, int column);

inline constexpr const char* kLanguageNames[3] = {"English", "ChineseGB", "ChineseBIG5"};
// Captions of the language menu items, the same in every language.
inline constexpr const char* kLanguageMenuCaptions[3] = {"&English", "&Simplified chinese(简体)",
                                                         "&Traditional chinese(繁體)"};

// 0, 1 or 2 for an exactly matching language name, 0 for anything else.
int LanguageIndexOf(const QString& language);
