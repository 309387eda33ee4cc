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
    {"The reader refused a setting.", "读卡机拒绝了设定.", "讀卡機拒絕了設定."},
    {"The backup folder was open to others; it is now private (0700).",
     "备份资料夹原本对他人开放, 现已设为仅限本人 (0700).",
     "備份資料夾原本對他人開放, 現已設為僅限本人 (0700)."},
    {"Settings differ after the apply.", "套用后设定不符.", "套用後設定不符."},
    // The card window: the whole card read, written, formatted, kept in dump files.
    {"&Card", "卡片(&C)", "卡片(&C)"},
    {"Card", "卡片", "卡片"},
    {"Card size:", "卡片容量:", "卡片容量:"},
    {"Key files", "KEY 档案", "KEY 檔案"},
    {"Add key file...", "加入 KEY 档案...", "加入 KEY 檔案..."},
    {"Remove key file", "移除 KEY 档案", "移除 KEY 檔案"},
    {"Built-in default keys", "内建预设 KEY", "內建預設 KEY"},
    {"Read whole card", "读取整张卡片", "讀取整張卡片"},
    {"Read whole card ok.", "读取整张卡片完成.", "讀取整張卡片完成."},
    {"Read whole card error!", "读取整张卡片错误!", "讀取整張卡片錯誤!"},
    {"Write to card", "写入卡片", "寫入卡片"},
    {"Write to card ok.", "写入卡片完成.", "寫入卡片完成."},
    {"Write to card error!", "写入卡片错误!", "寫入卡片錯誤!"},
    {"Format card", "格式化卡片", "格式化卡片"},
    {"Format card ok.", "格式化卡片完成.", "格式化卡片完成."},
    {"Format card error!", "格式化卡片错误!", "格式化卡片錯誤!"},
    {"Open dump...", "开启卡片资料档...", "開啟卡片資料檔..."},
    {"Save dump...", "储存卡片资料档...", "儲存卡片資料檔..."},
    {"Compare with a dump...", "与卡片资料档比较...", "與卡片資料檔比較..."},
    {"Sector", "区段", "區段"},
    {"Block", "区块", "區塊"},
    {"ASCII", "ASCII", "ASCII"},
    {"Value %1, address %2", "数值 %1, 地址 %2", "數值 %1, 位址 %2"},
    {"Read with %1 %2", "以 %1 %2 读取", "以 %1 %2 讀取"},
    {"Compared: %1", "比较: %1", "比較: %1"},
    {"Sector %1, block %2 (condition %3):", "区段 %1, 区块 %2 (存取条件 %3):",
     "區段 %1, 區塊 %2 (存取條件 %3):"},
    {"read", "读取", "讀取"},
    {"write", "写入", "寫入"},
    {"increment", "增值", "增值"},
    {"decrement, transfer, restore", "减值, 传送, 还原", "減值, 傳送, 還原"},
    {"read Key A", "读取 Key A", "讀取 Key A"},
    {"write Key A", "写入 Key A", "寫入 Key A"},
    {"read access bits", "读取存取位元", "讀取存取位元"},
    {"write access bits", "写入存取位元", "寫入存取位元"},
    {"read Key B", "读取 Key B", "讀取 Key B"},
    {"write Key B", "写入 Key B", "寫入 Key B"},
    {"Key A or Key B", "Key A 或 Key B", "Key A 或 Key B"},
    {"never", "不允许", "不允許"},
    {"Access conditions unknown.", "存取条件未知.", "存取條件未知."},
    {"Manufacturer block: never written.", "制造商区块: 永不写入.", "製造商區塊: 永不寫入."},
    {"Key B can be read, so it opens nothing.", "Key B 可被读取, 因此无法作为 KEY 使用.",
     "Key B 可被讀取, 因此無法作為 KEY 使用."},
    {"Write the shown card to the card on the reader? Block 0 is never written.",
     "将显示的卡片资料写入读卡机上的卡片? 区块 0 永不写入.",
     "將顯示的卡片資料寫入讀卡機上的卡片? 區塊 0 永不寫入."},
    {"Put every sector of the card on the reader back to its delivery state? Block 0 is never "
     "written.",
     "将读卡机上卡片的每个区段恢复为出厂状态? 区块 0 永不写入.",
     "將讀卡機上卡片的每個區段恢復為出廠狀態? 區塊 0 永不寫入."},
    {"These sectors could never be changed again, or would keep data blocks no key can write: "
     "%1. Write them all the same?",
     "下列区段将无法再变更, 或留下任何 KEY 皆无法写入的区块: %1. 仍要写入?",
     "下列區段將無法再變更, 或留下任何 KEY 皆無法寫入的區塊: %1. 仍要寫入?"},
    {"Sector %1: %2 of %3 blocks read.", "区段 %1: 已读取 %2/%3 个区块.",
     "區段 %1: 已讀取 %2/%3 個區塊."},
    {"Sector %1: not opened.", "区段 %1: 无法开启.", "區段 %1: 無法開啟."},
    {"%1 of %2 sectors opened.", "已开启 %1/%2 个区段.", "已開啟 %1/%2 個區段."},
    {"The reader did not answer.", "读卡机没有回应.", "讀卡機沒有回應."},
    {"The card was taken away at sector %1.", "卡片在区段 %1 被移开.", "卡片在區段 %1 被移開."},
    {"Cancelled.", "已取消.", "已取消."},
    {"Stopped.", "已停止.", "已停止."},
    {"The backup could not be saved: nothing was written.", "无法储存备份, 未写入任何资料.",
     "無法儲存備份, 未寫入任何資料."},
    {"A write was not confirmed: the run stopped.", "写入未获确认, 已停止.",
     "寫入未獲確認, 已停止."},
    {"Written: %1, unchanged: %2, skipped: %3.", "已写入: %1, 未变更: %2, 略过: %3.",
     "已寫入: %1, 未變更: %2, 略過: %3."},
    {"Block %1: written.", "区块 %1: 已写入.", "區塊 %1: 已寫入."},
    {"Block %1: unchanged.", "区块 %1: 未变更.", "區塊 %1: 未變更."},
    {"Block %1: skipped: %2", "区块 %1: 略过: %2", "區塊 %1: 略過: %2"},
    {"Block %1: failed: %2", "区块 %1: 失败: %2", "區塊 %1: 失敗: %2"},
    {"Backup saved: %1", "备份已储存: %1", "備份已儲存: %1"},
    {"Backup not saved: %1", "备份未储存: %1", "備份未儲存: %1"},
    {"Key file %1, line %2: not a key of 12 hexadecimal digits.",
     "KEY 档案 %1, 第 %2 行: 不是 12 位十六进位数字的 KEY.",
     "KEY 檔案 %1, 第 %2 行: 不是 12 位十六進位數字的 KEY."},
    {"Key file %1 cannot be read: %2", "无法读取 KEY 档案 %1: %2", "無法讀取 KEY 檔案 %1: %2"},
    {"No keys: add a key file or turn the built-in default keys on.",
     "没有 KEY: 请加入 KEY 档案或启用内建预设 KEY.",
     "沒有 KEY: 請加入 KEY 檔案或啟用內建預設 KEY."},
    {"Dump saved: %1", "卡片资料档已储存: %1", "卡片資料檔已儲存: %1"},
    {"%1 unknown bytes saved as 00: a binary dump cannot mark them.",
     "%1 个未知位元组以 00 储存: 二进位资料档无法标示未知位元组.",
     "%1 個未知位元組以 00 儲存: 二進位資料檔無法標示未知位元組."},
    {"Dump opened: %1", "已开启卡片资料档: %1", "已開啟卡片資料檔: %1"},
    {"Dump not saved: %1", "卡片资料档未储存: %1", "卡片資料檔未儲存: %1"},
    {"Dump not opened: %1", "无法开启卡片资料档: %1", "無法開啟卡片資料檔: %1"},
    {"Unknown dump format: use .mct, .txt, .mfd, .bin or .json.",
     "未知的档案格式: 请使用 .mct, .txt, .mfd, .bin 或 .json.",
     "未知的檔案格式: 請使用 .mct, .txt, .mfd, .bin 或 .json."},
    {"MIFARE Classic Tool dump (*.mct *.txt)", "MIFARE Classic Tool 资料档 (*.mct *.txt)",
     "MIFARE Classic Tool 資料檔 (*.mct *.txt)"},
    {"Binary dump (*.mfd *.bin)", "二进位资料档 (*.mfd *.bin)", "二進位資料檔 (*.mfd *.bin)"},
    {"JSON image (*.json)", "JSON 资料档 (*.json)", "JSON 資料檔 (*.json)"},
    {"Key files (*.keys *.dic *.txt)", "KEY 档案 (*.keys *.dic *.txt)",
     "KEY 檔案 (*.keys *.dic *.txt)"},
    {"All files (*)", "所有档案 (*)", "所有檔案 (*)"},
    {"Compared with %1: the same.", "与 %1 比较: 相同.", "與 %1 比較: 相同."},
    {"Compared with %1: %2 bytes differ in %3 blocks, %4 of them known on one side only.",
     "与 %1 比较: %3 个区块中有 %2 个位元组不同, 其中 %4 个仅一方已知.",
     "與 %1 比較: %3 個區塊中有 %2 個位元組不同, 其中 %4 個僅一方已知."},
    {"The reader is busy.", "读卡机忙碌中.", "讀卡機忙碌中."},
    // Why a block of a write was skipped or failed, as the write reports it.
    {"the reader did not confirm the write", "读卡机未确认写入", "讀卡機未確認寫入"},
    {"the image does not know it whole", "资料中此区块不完整", "資料中此區塊不完整"},
    {"no key given opens its sector on the card", "没有任何 KEY 能开启卡片上的此区段",
     "沒有任何 KEY 能開啟卡片上的此區段"},
    {"the card's access conditions are not known", "卡片的存取条件未知", "卡片的存取條件未知"},
    {"no known key of the card may write it", "卡片没有已知的 KEY 可写入此区块",
     "卡片沒有已知的 KEY 可寫入此區塊"},
    {"the image does not know both its keys", "资料中未包含完整的 Key A 与 Key B",
     "資料中未包含完整的 Key A 與 Key B"},
    {"the image does not know its access bits", "资料中存取位元未知", "資料中存取位元未知"},
    {"access bits inconsistent: the sector would be blocked", "存取位元不一致, 区段将被锁死",
     "存取位元不一致, 區段將被鎖死"},
    {"it would fix the sector for good; allow that to write it", "此区段将永久固定; 须经允许才写入",
     "此區段將永久固定; 須經允許才寫入"},
    {"no known key of the card may change its trailer whole",
     "卡片没有已知的 KEY 可完整写入此区段的 KEY 区块",
     "卡片沒有已知的 KEY 可完整寫入此區段的 KEY 區塊"},
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
