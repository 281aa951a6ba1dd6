// The program's fixed texts, as the GBK (code page 936) bytes its console shows. They are
// written as byte escapes so that every compiler, whatever its execution character set, puts the
// same bytes in the program; the comment above each gives its readable text, which the tests
// convert to GBK and compare with the escapes.
#pragma once

namespace texts {

/// The menu, printed before every command prompt.
// "by--Morvane\n"
// "----------------------------\n"
// "1 备份hosts文件[必须]\n"
// "2 添加网址域名与其对应的IP地址\n"
// "3 显示所有的关联\n"
// "4 删除已有的关联\n"
// "5 还原hosts文件\n"
// "6 使用说明\n"
// "----------------------------\n"
inline constexpr char menu[] =
    "by--Morvane\n"
    "----------------------------\n"
    "1 \xB1\xB8\xB7\xDDhosts\xCE\xC4\xBC\xFE[\xB1\xD8\xD0\xEB]\n"
    "2 \xCC\xED\xBC\xD3\xCD\xF8\xD6\xB7\xD3\xF2\xC3\xFB\xD3\xEB\xC6\xE4\xB6\xD4\xD3\xA6"
    "\xB5\xC4IP\xB5\xD8\xD6\xB7\n"
    "3 \xCF\xD4\xCA\xBE\xCB\xF9\xD3\xD0\xB5\xC4\xB9\xD8\xC1\xAA\n"
    "4 \xC9\xBE\xB3\xFD\xD2\xD1\xD3\xD0\xB5\xC4\xB9\xD8\xC1\xAA\n"
    "5 \xBB\xB9\xD4\xADhosts\xCE\xC4\xBC\xFE\n"
    "6 \xCA\xB9\xD3\xC3\xCB\xB5\xC3\xF7\n"
    "----------------------------\n";

/// How a request line is written, shown before commands 2 and 4 read one.
// "格式：[IP + 空格 + URL] 例: 127.0.0.1 www.baidu.com\n\n"
inline constexpr char format_hint[] =
    "\xB8\xF1\xCA\xBD\xA3\xBA[IP + \xBF\xD5\xB8\xF1 + URL] \xC0\xFD: 127.0.0.1 www.baidu.com"
    "\n\n";

/// The prompt of command 2.
// "请输入要建立的关联: "
inline constexpr char add_prompt[] =
    "\xC7\xEB\xCA\xE4\xC8\xEB\xD2\xAA\xBD\xA8\xC1\xA2\xB5\xC4\xB9\xD8\xC1\xAA: ";

/// The prompt of command 4.
// "请输入要删除的关联: "
inline constexpr char delete_prompt[] =
    "\xC7\xEB\xCA\xE4\xC8\xEB\xD2\xAA\xC9\xBE\xB3\xFD\xB5\xC4\xB9\xD8\xC1\xAA: ";

/// printf format: the request that command 2 wrote.
// "[%s]已写入\n"
inline constexpr char added[] = "[%s]\xD2\xD1\xD0\xB4\xC8\xEB\n";

/// printf format: the request that command 4 deleted.
// "[%s]已删除\n"
inline constexpr char deleted[] = "[%s]\xD2\xD1\xC9\xBE\xB3\xFD\n";

/// Command 1 made the backup.
// "已将hosts文件备份到本程序所在目录\n"
inline constexpr char backed_up[] =
    "\xD2\xD1\xBD\xABhosts\xCE\xC4\xBC\xFE\xB1\xB8\xB7\xDD\xB5\xBD\xB1\xBE\xB3\xCC\xD0\xF2"
    "\xCB\xF9\xD4\xDA\xC4\xBF\xC2\xBC\n";

/// Command 5 restored the hosts file.
// "已将hosts文件还原\n"
inline constexpr char restored[] = "\xD2\xD1\xBD\xABhosts\xCE\xC4\xBC\xFE\xBB\xB9\xD4\xAD\n";

/// The usage note of command 6.
// "1.本程序需要以管理员模式打开\n"
// "2.hosts文件为系统文件，修改有风险！所以必须先备份！\n"
// "如果出现问题，请自行百度解决！\n\n"
inline constexpr char usage[] =
    "1.\xB1\xBE\xB3\xCC\xD0\xF2\xD0\xE8\xD2\xAA\xD2\xD4\xB9\xDC\xC0\xED\xD4\xB1\xC4\xA3"
    "\xCA\xBD\xB4\xF2\xBF\xAA\n"
    "2.hosts\xCE\xC4\xBC\xFE\xCE\xAA\xCF\xB5\xCD\xB3\xCE\xC4\xBC\xFE\xA3\xAC\xD0\xDE\xB8\xC4"
    "\xD3\xD0\xB7\xE7\xCF\xD5\xA3\xA1\xCB\xF9\xD2\xD4\xB1\xD8\xD0\xEB\xCF\xC8\xB1\xB8\xB7\xDD"
    "\xA3\xA1\n"
    "\xC8\xE7\xB9\xFB\xB3\xF6\xCF\xD6\xCE\xCA\xCC\xE2\xA3\xAC\xC7\xEB\xD7\xD4\xD0\xD0\xB0\xD9"
    "\xB6\xC8\xBD\xE2\xBE\xF6\xA3\xA1\n\n";

/// The answer to a number outside the menu.
// "没有此项\n"
inline constexpr char no_such_item[] = "\xC3\xBB\xD3\xD0\xB4\xCB\xCF\xEE\n";

/// The load found the file changed between its two passes.
// "hosts_read:hosts文件已被其他程序修改！\n"
inline constexpr char read_changed[] =
    "hosts_read:hosts\xCE\xC4\xBC\xFE\xD2\xD1\xB1\xBB\xC6\xE4\xCB\xFB\xB3\xCC\xD0\xF2\xD0\xDE"
    "\xB8\xC4\xA3\xA1\n";

/// printf format: a request that cannot form an entry line.
// "hosts_write:%s格式错误！\n"
inline constexpr char write_malformed[] =
    "hosts_write:%s\xB8\xF1\xCA\xBD\xB4\xED\xCE\xF3\xA3\xA1\n";

/// The update found the file changed since it was loaded.
// "hosts_write:hosts文件已被其他程序修改！\n"
inline constexpr char write_changed[] =
    "hosts_write:hosts\xCE\xC4\xBC\xFE\xD2\xD1\xB1\xBB\xC6\xE4\xCB\xFB\xB3\xCC\xD0\xF2"
    "\xD0\xDE\xB8\xC4\xA3\xA1\n";

/// printf format: a request to delete a host name the file lacks.
// "hosts_write:%s不存在！\n"
inline constexpr char write_missing[] = "hosts_write:%s\xB2\xBB\xB4\xE6\xD4\xDA\xA3\xA1\n";

/// Another instance of the program holds the hosts file; said once, after a second of waiting.
// "hosts_lock:hosts文件正被本程序的另一个实例使用，请稍候...\n"
inline constexpr char lock_waiting[] =
    "hosts_lock:hosts\xCE\xC4\xBC\xFE\xD5\xFD\xB1\xBB\xB1\xBE\xB3\xCC\xD0\xF2\xB5\xC4\xC1\xED"
    "\xD2\xBB\xB8\xF6\xCA\xB5\xC0\xFD\xCA\xB9\xD3\xC3\xA3\xAC\xC7\xEB\xC9\xD4\xBA\xF2...\n";

/// The other instance held the hosts file for the whole wait; the command was not run.
// "hosts_lock:等待超时，未做任何修改！\n"
inline constexpr char lock_gave_up[] =
    "hosts_lock:\xB5\xC8\xB4\xFD\xB3\xAC\xCA\xB1\xA3\xAC\xCE\xB4\xD7\xF6\xC8\xCE\xBA\xCE\xD0\xDE"
    "\xB8\xC4\xA3\xA1\n";

/// The wait for a key press, as Windows' "pause" words it.
// "请按任意键继续. . ."
inline constexpr char pause_prompt[] =
    "\xC7\xEB\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBC\xCC\xD0\xF8. . .";

}  // namespace texts
