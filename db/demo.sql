-- Demo content for the local service database: system parameters and a
-- demo customer with two sub-accounts. Login: demo / demo123
USE sms;

INSERT INTO sysPara(name, value) VALUES
  ('softerVer', '1.1,1.2'),
  ('customerNotice', '欢迎使用短信群发平台，如有疑问请联系客服 400-800-1234。'),
  ('bookingNotice', '注意事项:预约发送只有超过2万条时有效，预约时间在24小时内有效。'),
  ('defaultlimitrate', '90');

INSERT INTO customers(customername, password, realname, parentname, limitrate, smscount,
                      customerKind, customerGrade, childCount, createtime, telphone, address, companyid)
VALUES
  ('demo', 'demo123', 'demo', '', 90, 100000, '正式', 1, 2, NOW(), '010-12345678', '北京市海淀区', '4'),
  ('demo_a', 'a123', 'demo_a', 'demo', 90, 500, '新开', 2, 0, NOW(), '13600000001', '北京市朝阳区', '4'),
  ('demo_b', 'b123', 'demo_b', 'demo', 90, 0, '新开', 2, 0, NOW(), '13600000002', '上海市浦东新区', '4');
