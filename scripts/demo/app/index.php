<?php
// make demo's PHP-FPM application. Every route under /app/ that is not a
// file comes here through the rewrite rule in .htaccess. GET /app/ shows a
// form; every other request is answered with what PHP-FPM received, to
// compare with what the client sent.
$method = $_SERVER['REQUEST_METHOD'];
$route = $_SERVER['REQUEST_URI'];
if ($method === 'GET' && ($route === '/app/' || $route === '/app/index.php')) {
    header('Content-Type: text/html; charset=utf-8');
    echo <<<'HTML'
<!doctype html>
<html><head><title>mod_vornex demo: PHP-FPM</title></head>
<body><h1>A PHP-FPM application behind a front controller</h1>
<form method="post" action="/app/submit">
<p><label>Name <input name="name"></label></p>
<p><label>Message <textarea name="message"></textarea></label></p>
<p><button>Post</button></p>
</form></body></html>

HTML;
    exit;
}
$body = file_get_contents('php://input');
header('Content-Type: text/plain; charset=utf-8');
echo 'front controller (', php_sapi_name(), '): ', $method, ' ', $route, "\n";
foreach ($_POST as $name => $value) {
    echo 'field ', $name, ': ',
        is_array($value) ? json_encode($value) : $value, "\n";
}
echo 'body: ', strlen($body), ' bytes, sha256 ', hash('sha256', $body), "\n";
