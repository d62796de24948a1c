#include "core/net/ErrorTexts.h"

#include <cerrno>

namespace tav {

std::string SystemErrorText(int err)
{
    switch (err) {
    case ECONNREFUSED: return "对方拒绝连接";
    case ECONNRESET: return "连接被对方重置";
    case ECONNABORTED: return "连接已中止";
    case ETIMEDOUT: return "连接超时";
    case EHOSTUNREACH: return "主机不可达";
    case ENETUNREACH: return "网络不可达";
    case ENETDOWN: return "网络已断开";
    case EPIPE: return "连接已断开";
    case ENOTCONN: return "未连接";
    case EADDRINUSE: return "地址已被占用";
    case EADDRNOTAVAIL: return "地址不可用";
    case EAGAIN: return "资源暂时不可用";
    case EINTR: return "操作被中断";
    case ENOMEM: return "内存不足";
    case ENOBUFS: return "网络缓冲区不足";
    case EMFILE: return "本进程打开的文件数已达上限";
    case ENFILE: return "系统打开的文件数已达上限";
    case EACCES: return "没有访问权限";
    case EPERM: return "操作不被允许";
    case ENOENT: return "文件或目录不存在";
    case ENOSPC: return "磁盘空间不足";
    case EROFS: return "文件系统只读";
    case EIO: return "输入输出错误";
    case EINVAL: return "参数无效";
    case EPROTO: return "协议错误";
    case 0: return "未知错误";
    default: return "错误码 " + std::to_string(err);
    }
}

// Numbers as libmosquitto defines them (mosquitto.h, MOSQ_ERR_*): the table
// stays here, apart from the library's header, so that every code has a
// Chinese text even where the header is older.
std::string BrokerErrorText(int rc, int err)
{
    switch (rc) {
    case 0: return "成功";
    case 1: return "内存不足";
    case 2: return "协议错误";
    case 3: return "参数无效";
    case 4: return "未连接到服务器";
    case 5: return "服务器拒绝连接";
    case 6: return "未找到";
    case 7: return "连接已断开";
    case 8: return "TLS 错误";
    case 9: return "消息过长";
    case 10: return "不支持该功能";
    case 11: return "认证失败";
    case 12: return "无权访问该主题";
    case 13: return "未知错误";
    case 14: return SystemErrorText(err);
    case 15: return "无法解析服务器地址";
    case 16: return "代理错误";
    case 19: return "服务器在保活时间内没有应答";
    case 20: return "无法解析服务器地址";
    case 21: return "数据包格式错误";
    case 23: return "TLS 握手失败";
    case 24: return "服务器不支持该 QoS";
    case 25: return "数据包超过服务器的上限";
    case 26: return "证书状态 (OCSP) 检查失败";
    case 27: return "超时";
    case 28: return "服务器不支持保留消息";
    case 30: return "服务器管理员断开了连接";
    default: return "错误码 " + std::to_string(rc);
    }
}

std::string BrokerRefusalText(int code)
{
    switch (code) {
    case 1:
    case 132: return "不支持的协议版本";
    case 2:
    case 133: return "客户端标识无效";
    case 3:
    case 136: return "服务不可用";
    case 4:
    case 134: return "用户名或密码错误";
    case 5:
    case 135: return "未获授权";
    case 137: return "服务器忙";
    case 138: return "已被禁止";
    case 140: return "认证方式错误";
    default: return "拒绝码 " + std::to_string(code);
    }
}

}  // namespace tav
