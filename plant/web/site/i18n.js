// The pages' texts: Chinese as at the station, English on the switch.
window.TEXTS = {
  zh: {
    title: '全厂振动监测', overview: '总览', alarms: '报警', logout: '退出', loginTitle: '登录', user: '用户名',
    password: '密码', login: '登录', station: '站点', allStations: '全部站点', exportCsv: '导出 CSV',
    series: '参数', range: '时段', resetZoom: '复原', dragHint: '在图上拖动可放大所选时段',
    activeAlarms: '活动报警', alarmHistory: '报警记录', address: '地址', severity: '级别', allSeverities: '全部',
    from: '从', to: '到', apply: '查询', ackTitle: '确认报警', comment: '备注', ack: '确认', cancel: '取消',
    sev_danger: '危险', sev_alert: '警告', sev_offline: '离线', sev_sensor_fault: '传感器故障', sev_change: '变化',
    sev_ok: '正常', zone: '区域', speed: '转速', temperature: '温度', lastSeen: '最后更新', machines: '台设备',
    live: '实时', reconnecting: '正在重连…', time: '时间', machine: '设备', axis: '轴', quantity: '参数',
    value: '数值', limit: '限值', event: '事件', who: '操作人', state: '状态', acked: '已确认',
    ackSent: '已发送，等待站点确认', noData: '没有数据', loading: '读取中…', loginFailed: '用户名或密码错误',
    res_raw: '分辨率：每个稳态值', res_minute: '分辨率：每分钟（最小–最大）', res_hour: '分辨率：每小时（最小–最大）',
    range_1h: '1 小时', range_6h: '6 小时', range_1d: '1 天', range_7d: '7 天', range_30d: '30 天', range_1y: '1 年',
    p_vr: '速度有效值 mm/s', p_iso_v: 'ISO 速度 mm/s', p_vp: '速度峰值 mm/s', p_ar: '加速度有效值 m/s²',
    p_ap: '加速度峰值 m/s²', p_ak: '峭度', p_dr: '位移有效值 µm', p_dp: '位移峰峰值 µm', p_temperature: '温度 ℃',
    p_rpm: '转速 rpm', truncated: '只列出最近 5000 条', other: 'English'
  },
  en: {
    title: 'Plant vibration monitoring', overview: 'Overview', alarms: 'Alarms', logout: 'Log out',
    loginTitle: 'Log in', user: 'User', password: 'Password', login: 'Log in', station: 'Station',
    allStations: 'All stations', exportCsv: 'Export CSV', series: 'Quantity', range: 'Span',
    resetZoom: 'Reset zoom', dragHint: 'Drag across the chart to zoom into a span', activeAlarms: 'Active alarms',
    alarmHistory: 'Alarm history', address: 'Address', severity: 'Severity', allSeverities: 'All', from: 'From',
    to: 'To', apply: 'Apply', ackTitle: 'Acknowledge alarm', comment: 'Comment', ack: 'Acknowledge',
    cancel: 'Cancel', sev_danger: 'Danger', sev_alert: 'Alert', sev_offline: 'Offline',
    sev_sensor_fault: 'Sensor fault', sev_change: 'Change', sev_ok: 'Normal', zone: 'Zone', speed: 'Speed',
    temperature: 'Temperature', lastSeen: 'Last seen', machines: 'machines', live: 'Live',
    reconnecting: 'Reconnecting…', time: 'Time', machine: 'Machine', axis: 'Axis', quantity: 'Quantity',
    value: 'Value', limit: 'Limit', event: 'Event', who: 'By', state: 'State', acked: 'Acknowledged',
    ackSent: 'Sent, waiting for the station', noData: 'No data', loading: 'Loading…',
    loginFailed: 'Wrong user name or password', res_raw: 'Resolution: every steady value',
    res_minute: 'Resolution: per minute (min–max)', res_hour: 'Resolution: per hour (min–max)',
    range_1h: '1 hour', range_6h: '6 hours', range_1d: '1 day', range_7d: '7 days', range_30d: '30 days',
    range_1y: '1 year', p_vr: 'Velocity RMS mm/s', p_iso_v: 'ISO velocity mm/s', p_vp: 'Velocity peak mm/s',
    p_ar: 'Acceleration RMS m/s²', p_ap: 'Acceleration peak m/s²', p_ak: 'Kurtosis', p_dr: 'Displacement RMS µm',
    p_dp: 'Displacement p-p µm', p_temperature: 'Temperature °C', p_rpm: 'Speed rpm',
    truncated: 'Only the latest 5000 are listed', other: '中文'
  }
};
